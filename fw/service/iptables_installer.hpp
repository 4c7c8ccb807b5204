#pragma once
// Puts the own rules into "mangle" and "nat" under the xtables lock and takes
// them out again, loading a table's kernel module when the table is missing.
#include <string>

#include "fw/service/iptables_rules.hpp"

namespace fw::service {

// Where tables are read and written: the kernel, or a test's stand-in.
class ipt_tables_t {
public:
    virtual ~ipt_tables_t() = default;
    virtual linux::iptables::ipt_table_t read(const std::string& name) = 0;
    virtual void write(const std::string& name, const linux::iptables::ipt_table_t& table) = 0;
};

ipt_tables_t& kernel_tables();

class iptables_installer_t {
public:
    explicit iptables_installer_t(ipt_tables_t& tables = kernel_tables(),
                                  const ipt_extensions_t& extensions = kernel_extensions());

    // Under the lock: "mangle" unless nf_tables steers (nft_available), then
    // "nat". Each table's previous own rules are replaced in the same write.
    void install(const steering_params_t& params, bool nft_available, const std::string& lock_path);

    // Removes the own rules of "nat" and "mangle" under the lock. Failures are
    // logged as warnings; never throws.
    void uninstall(const std::string& lock_path) noexcept;

    // Set as soon as a table has been written with own rules, so that a
    // failure half-way still leaves them to be removed at stop.
    bool installed() const noexcept { return installed_; }

private:
    void install_table(const std::string& table, const steering_params_t& params, bool required);
    void edit_table(const std::string& table, const steering_params_t& params);

    ipt_tables_t& tables_;
    const ipt_extensions_t& extensions_;
    bool installed_ = false;
};

} // namespace fw::service
