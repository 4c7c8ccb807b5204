#pragma once
// A fixture with a fresh directory of its own, removed after each test.
#include <string>

#include <unistd.h>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace morva_test {

class temp_dir_test_t : public testing::Test {
protected:
    void SetUp() override
    {
        dir = boost::filesystem::temp_directory_path()
            / ("morva-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->test_suite_name()) + "-"
               + std::to_string(::getpid()));
        boost::filesystem::create_directories(dir);
    }
    void TearDown() override { boost::filesystem::remove_all(dir); }

    boost::filesystem::path dir;
};

} // namespace morva_test
