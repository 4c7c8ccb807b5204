#include "fw/service/logger.hpp"

#include <gtest/gtest.h>

#include "common/log.hpp"
#include "common/log_hook.hpp"
#include "linux_firewall_config.pb.h"

namespace {

// Collects what reaches the process log.
struct capture_log_t : cf_log_t {
    capture_log_t() : cf_log_t({}, {}) {}
    void open() override {}
    void write(int level, std::string const& text) override { lines.push_back(std::to_string(level) + " " + text); }
    void write_tagged(std::string const&, int, std::string const&) override {}
    void out_of_memory() override {}
    std::vector<std::string> lines;
};

TEST(logger, configured_level_sets_the_threshold_and_the_hook_level)
{
    struct case_t {
        int log_level;
        int threshold;
        int hook_level;
    };
    // Numbers outside the enumeration never arrive: the parser sets them aside.
    const case_t cases[] = {{5, 4, 4}, {1, 0, 0}, {3, 2, 2}, {4, 3, 3}};
    kv::LinuxFirewallConfig config;
    config.mutable_actual_log()->set_type(kv::Log::STDERR);
    fw::service::logger_t logger(config);
    config.set_log_level(kv::LOG_LEVEL_ERROR);
    logger.configure();
    config.clear_log_level(); // reads as the first value, Debug
    logger.configure();
    EXPECT_EQ(cf_log_threshold, 0);
    EXPECT_EQ(kv::util::log_level(), 0);
    for (auto& c : cases) {
        SCOPED_TRACE(c.log_level);
        config.set_log_level(static_cast<kv::LogLevel>(c.log_level));
        logger.configure();
        EXPECT_EQ(cf_log_threshold, c.threshold);
        EXPECT_EQ(kv::util::log_level(), c.hook_level);
    }
}

TEST(logger, the_hook_passes_lines_on_unchanged_without_testing_the_threshold)
{
    kv::LinuxFirewallConfig config;
    fw::service::logger_t logger(config);
    auto capture = std::make_shared<capture_log_t>();
    cf_log_install(capture);
    cf_log_threshold = 4;
    kv::util::set_log_prefix("");
    kv::util::log(1, "from a library");
    EXPECT_EQ(capture->lines, std::vector<std::string>{"1 from a library"});
}

} // namespace
