#include "fw/steering/iptables_installer.hpp"

#include <functional>
#include <fstream>
#include <map>
#include <optional>

#include <boost/system/system_error.hpp>

#include "common/error.hpp"
#include "common/log.hpp"
#include "linux/iptables/extensions.hpp"
#include "linux/iptables/sockopt.hpp"
#include "linux/nftables/transaction.hpp"

namespace fw::service {

namespace ipt = linux::iptables;

namespace {

class kernel_tables_t : public ipt_tables_t {
public:
    ipt::ipt_table_t read(const std::string& name) override { return ipt::read_ipt_table(socket(), name); }
    void write(const std::string& name, const ipt::ipt_table_t& table) override
    {
        ipt::write_ipt_table(socket(), name, table);
    }
    // The tables of this network namespace; asking the socket for a table
    // that does not exist yet would have the kernel load its module.
    bool loaded(const std::string& name) override
    {
        std::ifstream names("/proc/net/ip_tables_names");
        for (std::string line; std::getline(names, line);)
            if (line == name)
                return true;
        return false;
    }

private:
    ipt::sockopt_t& socket()
    {
        if (!socket_)
            socket_.emplace();
        return *socket_;
    }

    std::optional<ipt::raw_socket_t> socket_;
};

bool has_own_rules(const ipt::ipt_table_t& table)
{
    for (const auto& [hook, chain] : table.builtin_chains)
        for (const ipt::ipt_rule_t& rule : chain.rules)
            if (ipt::is_own_rule(rule))
                return true;
    return table.user_chains.contains(std::string(divert_user_chain));
}

using table_installer_t = std::function<void(ipt::ipt_table_t&, const steering_params_t&, const ipt_extensions_t&)>;

const table_installer_t& table_installer(const std::string& table)
{
    static const std::map<std::string, table_installer_t> installers{{"mangle", add_mangle_rules},
                                                                     {"nat", add_nat_rules}};
    static const table_installer_t none;
    const auto it = installers.find(table);
    return it == installers.end() ? none : it->second;
}

} // namespace

std::unique_ptr<ipt_tables_t> make_kernel_tables() { return std::make_unique<kernel_tables_t>(); }

iptables_installer_t::iptables_installer_t()
    : own_tables_(make_kernel_tables()), tables_(*own_tables_), extensions_(kernel_extensions())
{
}

iptables_installer_t::iptables_installer_t(ipt_tables_t& tables, const ipt_extensions_t& extensions)
    : tables_(tables), extensions_(extensions)
{
}

void iptables_installer_t::install(const steering_params_t& params, bool nft_available, const std::string& lock_path)
{
    xtables_lock_t lock(lock_path, lock_file_);
    // With nf_tables available the nftables service steers; "nat" needs its
    // rule either way.
    if (!nft_available)
        install_table("mangle", params, true);
    install_table("nat", params, false);
}

void iptables_installer_t::install_table(const std::string& table, const steering_params_t& params, bool required)
{
    const std::string module = "iptable_" + table;
    try {
        edit_table(table, params);
        return;
    } catch (const boost::system::system_error& e) {
        if (!ipt::is_table_missing(e.code()))
            throw;
        cf_log_lazy(log_debug, [&] {
            return "Cannot install iptables " + table + " rules: " + e.what() + "; requesting " + module
                + " kernel module";
        });
    }
    try {
        linux::nftables::utils::load_kernel_module(module);
    } catch (const std::exception& e) {
        if (required)
            throw;
        cf_log_lazy(log_warning, [&] {
            return "Unable to load " + module + " kernel module: " + e.what() + "; iptables " + table
                + " rules won't be installed";
        });
        return;
    }
    edit_table(table, params);
}

void iptables_installer_t::edit_table(const std::string& table, const steering_params_t& params)
{
    ipt::ipt_table_t model = tables_.read(table);
    remove_own_rules(model);
    table_installer(table)(model, params, extensions_);
    tables_.write(table, model);
    installed_ = true;
}

void iptables_installer_t::uninstall(const std::string& lock_path) noexcept
{
    remove_from({"nat", "mangle"}, lock_path);
    installed_ = false;
}

void iptables_installer_t::remove_leftovers(const std::string& lock_path) noexcept
{
    std::vector<std::string> found;
    for (const std::string table : {"nat", "mangle"}) {
        try {
            if (tables_.loaded(table) && has_own_rules(tables_.read(table)))
                found.push_back(table);
        } catch (const std::exception& e) {
            cf_log_lazy(log_warning, [&] {
                return "Cannot uninstall iptables rules from table " + table + ": " + e.what();
            });
        }
    }
    if (found.empty())
        return;
    cf_log_lazy(log_info, [] { return "Removing the iptables rules an earlier run left"; });
    remove_from(found, lock_path);
}

void iptables_installer_t::remove_from(const std::vector<std::string>& tables, const std::string& lock_path) noexcept
{
    // Stop and a switch to manual configuration both end here: whatever fails
    // is reported, and the rest is still removed.
    try {
        xtables_lock_t lock(lock_path, lock_file_);
        for (const std::string& table : tables) {
            try {
                ipt::ipt_table_t model = tables_.read(table);
                remove_own_rules(model);
                tables_.write(table, model);
            } catch (const std::exception& e) {
                cf_log_lazy(log_warning, [&] {
                    return "Cannot uninstall iptables rules from table " + table + ": " + e.what();
                });
            }
        }
    } catch (...) {
        cf_log_lazy(log_warning, [&] {
            return "Cannot uninstall iptables rules: " + describe_exception_ptr(std::current_exception());
        });
    }
}

} // namespace fw::service
