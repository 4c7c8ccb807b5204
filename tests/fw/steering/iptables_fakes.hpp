#pragma once
// Stand-ins shared by the iptables service tests: a modprobe program that
// records what it is asked to load, and saved forms of the tables.
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include <boost/filesystem.hpp>

#include "linux/nftables/transaction.hpp"
#include "tests/support/witness.hpp"

namespace morva_test {

// Points the module probe at a script in dir for its lifetime. The script
// appends its argument to dir/calls and fails ("modprobe: FATAL: Module <name>
// not found") for the modules that `fails` (a shell pattern) matches while
// dir/fail exists.
class fake_modprobe_t {
public:
    fake_modprobe_t(const boost::filesystem::path& dir, const std::string& fails = "*")
        : dir_(dir), saved_(fw::linux::nftables::utils::modprobe_program())
    {
        const std::string script = path();
        std::ofstream(script) << "#!/bin/sh\necho \"$1\" >> '" << (dir / "calls").string() << "'\n"
                              << "case \"$1\" in " << fails << ") [ ! -e '" << (dir / "fail").string()
                              << "' ] || { echo \"modprobe: FATAL: Module $1 not found\"; exit 1; };; esac\n";
        ::chmod(script.c_str(), 0700);
        fw::linux::nftables::utils::set_modprobe_program(script);
    }
    ~fake_modprobe_t() { fw::linux::nftables::utils::set_modprobe_program(saved_); }

    std::string path() const { return (dir_ / "modprobe").string(); }
    void set_failing(bool failing)
    {
        if (failing)
            std::ofstream((dir_ / "fail").string());
        else
            boost::filesystem::remove(dir_ / "fail");
    }
    // The modules asked for since the last call, one a line.
    std::string calls()
    {
        std::ifstream in((dir_ / "calls").string());
        std::stringstream text;
        text << in.rdbuf();
        boost::filesystem::remove(dir_ / "calls");
        return text.str();
    }

private:
    boost::filesystem::path dir_;
    std::string saved_;
};

// The saved mangle table with the divert chain, holding one rule, added.
inline std::string with_divert_chain(std::string mangle)
{
    mangle.insert(mangle.find("\n[") + 1, ":morva-firewall-divert - [0:0]\n");
    mangle.insert(mangle.find("COMMIT"), "[0:0] -A morva-firewall-divert -j MARK --set-xmark 0x1/0xffffffff\n");
    return mangle;
}

// Rules as saved with zero counters.
inline std::string fresh(const std::vector<std::string>& rules)
{
    std::string out;
    for (const std::string& rule : rules)
        out += "[0:0] " + rule + "\n";
    return out;
}

} // namespace morva_test
