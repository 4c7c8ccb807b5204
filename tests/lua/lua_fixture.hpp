#pragma once
// A Lua state set up as the Lua service sets it up (standard libraries, the
// runtime's registry, "coroutine.make", "morva", "morva.lookup", the intercept
// entries) on a real event loop, with a fake lookup delegate, a recording
// log hook and a test coroutine that runs a chunk as a program coroutine.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>
#include <lua.hpp>

#include "common/log_hook.hpp"
#include "tests/common/temp_dir.hpp"
#include "lua/coroutine.hpp"
#include "lua/coroutine_make.hpp"
#include "lua/intercept_types.hpp"
#include "lua/lookup.hpp"
#include "lua/morva.hpp"
#include "lua/registry.hpp"
#include "lua/runtime.hpp"

namespace morva_test {

// Requests are kept for the test to answer by hand.
struct fake_delegate_t : kv::lua::lookup::delegate_t {
    struct lookup_t {
        std::string type, tag;
        kv::lua::lookup::params_t params;
        lookup_callback_t callback;
    };
    struct check_t {
        std::string type, tag, value;
        kv::lua::lookup::params_t params;
        check_callback_t callback;
    };

    void lookup(std::string type, std::string tag, kv::lua::lookup::params_t params,
                lookup_callback_t callback) override
    {
        lookups.push_back({std::move(type), std::move(tag), std::move(params), std::move(callback)});
    }
    void check(std::string type, std::string tag, std::string value, kv::lua::lookup::params_t params,
               check_callback_t callback) override
    {
        checks.push_back({std::move(type), std::move(tag), std::move(value), std::move(params), std::move(callback)});
    }

    std::vector<lookup_t> lookups;
    std::vector<check_t> checks;
};

// Runs one chunk as a program coroutine and records how it ends.
class script_t : public kv::lua::coroutine_t {
public:
    enum outcome_t { pending, finished, failed };

    // The function on top of L's stack becomes the body; not started yet.
    explicit script_t(lua_State* L) : coroutine_t(L, -1) {}

    void start(int nargs = 0) { resume(nargs); }

    outcome_t outcome = pending;
    int suspensions = 0;
    int ends = 0;
    std::vector<std::string> results; // tostring of every returned value
    std::string error;                // text of the error object
    bool error_was_exception = false; // the error object was an exception userdata
    std::function<void()> on_end;

public:
    void on_finished() override
    {
        ++ends;
        outcome = finished;
        for (int i = 1; i <= lua_gettop(thread()); ++i)
            results.push_back(kv::lua::safe_tostring(thread(), i));
        if (on_end)
            on_end();
    }
    void on_failed() override
    {
        ++ends;
        outcome = failed;
        error_was_exception = kv::lua::test_exception(thread(), -1) != nullptr;
        error = kv::lua::safe_tostring(thread(), -1);
        if (on_end)
            on_end();
    }
    void on_suspended() override { ++suspensions; }
};

// Each test also has a fresh directory of its own (`dir`).
class lua_fixture : public temp_dir_test_t {
public:
    lua_fixture()
    {
        kv::lua::open_libraries(L);
        kv::lua::init_registry(L);
        kv::lua::register_coroutine_make(L);
        kv::lua::morva::init_registry(L, io);
        kv::lua::morva::register_module(L);
        fw::lua::intercept::register_intercept_module(L, nullptr);
        kv::lua::lookup::set_delegate(L, &delegate);
        kv::lua::lookup::register_module(L);
        previous_logger_ = kv::util::set_logger(
            [this](kv::util::log_level_t level, const std::string& text) { lines.emplace_back(level, text); });
        previous_level_ = kv::util::set_log_level(0);
    }

    ~lua_fixture() override
    {
        scripts.clear();
        state.reset();
        kv::util::set_logger(std::move(previous_logger_));
        kv::util::set_log_level(previous_level_);
    }

    // Loads code (failing the test when it does not compile).
    void load(const std::string& code, const char* name = "=test")
    {
        ASSERT_EQ(luaL_loadbufferx(L, code.data(), code.size(), name, "t"), LUA_OK) << lua_tostring(L, -1);
    }

    // Runs code on the main state outside every program coroutine; returns
    // the error text, or "" on success.
    std::string run_plain(const std::string& code)
    {
        load(code);
        if (lua_pcall(L, 0, 0, 0) == LUA_OK)
            return "";
        return kv::lua::error_text(L);
    }

    // Starts code as a program coroutine; it runs until it ends or first waits.
    script_t& start(const std::string& code)
    {
        load(code);
        scripts.push_back(std::make_unique<script_t>(L));
        script_t& script = *scripts.back(); // the run may add scripts of its own
        script.start();
        return script;
    }

    // Runs the event loop until it runs out of work.
    void drain()
    {
        io.run();
        io.restart();
    }

    // Starts code and drains the loop; the script must finish.
    std::vector<std::string> finish(const std::string& code)
    {
        auto& script = start(code);
        drain();
        EXPECT_EQ(script.outcome, script_t::finished) << script.error;
        return script.results;
    }

    // Starts code and drains the loop; the script must fail. Returns the error text.
    std::string failure(const std::string& code)
    {
        auto& script = start(code);
        drain();
        EXPECT_EQ(script.outcome, script_t::failed) << "results: " << script.results.size();
        return script.error;
    }

    void set_global(const char* name) { lua_setglobal(L, name); }

    boost::asio::io_context io; // outlives the state: closing it destroys pending timers
    fake_delegate_t delegate;
    std::vector<std::pair<int, std::string>> lines;
    kv::lua::state_ptr_t state = kv::lua::new_state();
    lua_State* L = state.get();
    std::vector<std::unique_ptr<script_t>> scripts;

private:
    kv::util::logger_t previous_logger_;
    int previous_level_ = 0;
};

} // namespace morva_test
