#pragma once
// Shared by the kernel tests of the services: a fixture that insists on the
// program's own network namespace, with a directory of its own (for the
// xtables lock among others) and the process log recorded from Debug up.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/log.hpp"
#include "tests/common/recording_log.hpp"
#include "tests/common/temp_dir.hpp"
#include "tests/support/netns.hpp"

namespace morva_test {

class netns_test_t : public temp_dir_test_t {
protected:
    // A derived SetUp returns when this fails, before it touches the kernel:
    // `if (HasFatalFailure()) return;`.
    void SetUp() override
    {
        temp_dir_test_t::SetUp();
        ASSERT_TRUE(in_private_netns());
        cf_log_install(log);
        cf_log_threshold = 0;
    }

    std::string lock_path() const { return (dir / "xtables.lock").string(); }

    std::shared_ptr<recording_log_t> log = std::make_shared<recording_log_t>();
};

} // namespace morva_test
