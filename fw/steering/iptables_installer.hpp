#pragma once
// Puts the own rules into "mangle" and "nat" under the xtables lock and takes
// them out again, loading a table's kernel module when the table is missing.
#include <memory>
#include <string>
#include <vector>

#include "fw/steering/iptables_rules.hpp"
#include "fw/steering/xtables_lock.hpp"

namespace fw::service {

// Where tables are read and written: the kernel, or a test's stand-in.
class ipt_tables_t {
public:
    virtual ~ipt_tables_t() = default;
    virtual linux::iptables::ipt_table_t read(const std::string& name) = 0;
    virtual void write(const std::string& name, const linux::iptables::ipt_table_t& table) = 0;
    // Whether the table exists at all; asking does not make the kernel load it.
    virtual bool loaded(const std::string& name) = 0;
};

// The kernel's tables through one raw socket, opened at the first use and kept,
// so that removing the rules needs no new descriptor.
std::unique_ptr<ipt_tables_t> make_kernel_tables();

class iptables_installer_t {
public:
    // The kernel's tables.
    iptables_installer_t();
    explicit iptables_installer_t(ipt_tables_t& tables, const ipt_extensions_t& extensions = kernel_extensions());

    // Under the lock: "mangle" unless nf_tables steers (nft_available), then
    // "nat". Each table's previous own rules are replaced in the same write.
    void install(const steering_params_t& params, bool nft_available, const std::string& lock_path);

    // Removes the own rules of "nat" and "mangle" under the lock. Failures are
    // logged as warnings; never throws.
    void uninstall(const std::string& lock_path) noexcept;

    // Removes the own rules a run that ended without its stop left in the
    // loaded tables; the lock is taken only when there are some. Failures are
    // logged as warnings; never throws.
    void remove_leftovers(const std::string& lock_path) noexcept;

    // Set as soon as a table has been written with own rules, so that a
    // failure half-way still leaves them to be removed at stop.
    bool installed() const noexcept { return installed_; }

private:
    void install_table(const std::string& table, const steering_params_t& params, bool required);
    void edit_table(const std::string& table, const steering_params_t& params);
    void remove_from(const std::vector<std::string>& tables, const std::string& lock_path) noexcept;

    std::unique_ptr<ipt_tables_t> own_tables_;
    ipt_tables_t& tables_;
    const ipt_extensions_t& extensions_;
    kept_lock_file_t lock_file_;
    bool installed_ = false;
};

} // namespace fw::service
