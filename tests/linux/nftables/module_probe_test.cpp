// The module probe runs the configured modprobe program; tests point it at a fake.
#include "linux/nftables/transaction.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace fw::linux::nftables::utils;

namespace {

class module_probe : public testing::Test {
protected:
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("morva-nft-probe-" + std::to_string(::getpid()));
    std::filesystem::path log = dir / "calls";
    std::string saved = modprobe_program();

    // A fake modprobe that records its argument and fails for `failing`.
    void fake(const std::string& failing)
    {
        std::filesystem::create_directories(dir);
        std::filesystem::path script = dir / "modprobe";
        std::ofstream(script) << "#!/bin/sh\necho \"$1\" >> '" << log.string() << "'\n"
                              << "[ \"$1\" != '" << failing << "' ] || { echo \"no module $1\"; exit 1; }\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        set_modprobe_program(script.string());
    }

    std::string calls()
    {
        std::ifstream in(log);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    ~module_probe() override
    {
        set_modprobe_program(saved);
        std::filesystem::remove_all(dir);
    }
};

TEST_F(module_probe, default_program_is_sbin_modprobe)
{
    EXPECT_EQ(saved, "/sbin/modprobe");
}

TEST_F(module_probe, loads_the_three_modules_in_order)
{
    fake("none");
    EXPECT_TRUE(nft_modules_available());
    EXPECT_EQ(calls(), "nft_tproxy\nnft_ct\nnft_queue\n");
}

TEST_F(module_probe, stops_at_the_first_module_that_fails)
{
    fake("nft_ct");
    EXPECT_FALSE(nft_modules_available());
    EXPECT_EQ(calls(), "nft_tproxy\nnft_ct\n");
}

TEST_F(module_probe, a_failed_load_throws_the_program_error)
{
    fake("nft_queue");
    EXPECT_NO_THROW(load_kernel_module("nft_ct"));
    try {
        load_kernel_module("nft_queue");
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("no module nft_queue"), std::string::npos) << e.what();
    }
}

} // namespace
