#include "app/services.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using fw::service::service_list_t;

TEST(services, connection_limit_is_two_fifths_of_the_soft_open_file_limit)
{
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {1024, 409}, {4096, 1638}, {5, 2}, {0, 0}, {4294967295u, 1717986918u}};
    for (auto [soft, limit] : cases)
        EXPECT_EQ(fw::service::connection_limit(soft), limit) << soft;
}

// Records configure and destruction in one journal.
struct recording_service_t : fw::util::service_t {
    recording_service_t(std::string name, std::vector<std::string>& journal, bool fails = false)
        : name_(std::move(name)), journal_(journal), fails_(fails)
    {
    }
    ~recording_service_t() override { journal_.push_back("~" + name_); }
    void configure() override
    {
        journal_.push_back(name_);
        if (fails_)
            throw std::runtime_error(name_ + " rejects");
    }
    std::string name_;
    std::vector<std::string>& journal_;
    bool fails_;
};

service_list_t make_list(std::vector<std::string>& journal, const std::string& failing = "")
{
    service_list_t list;
    for (const char* name : {"first", "second", "third"})
        list.push_back(std::make_unique<recording_service_t>(name, journal, name == failing));
    return list;
}

TEST(services, configure_walks_front_to_back_and_stops_at_the_first_failure)
{
    std::vector<std::string> journal;
    auto list = make_list(journal, "second");
    EXPECT_THROW(fw::service::configure_services(list), std::runtime_error);
    EXPECT_EQ(journal, (std::vector<std::string>{"first", "second"}));
}

TEST(services, destroy_walks_back_to_front_and_keeps_the_entries)
{
    std::vector<std::string> journal;
    auto list = make_list(journal);
    fw::service::destroy_services(list);
    EXPECT_EQ(journal, (std::vector<std::string>{"~third", "~second", "~first"}));
    ASSERT_EQ(list.size(), 3u);
    for (auto& s : list)
        EXPECT_FALSE(s);
    fw::service::destroy_services(list); // a second stop finds nothing left
    EXPECT_EQ(journal.size(), 3u);
}

} // namespace
