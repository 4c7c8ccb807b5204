#pragma once
// An owner's alive flag shared with the completions it starts: once the owner
// sets it (at any time, and always in its destructor), those completions do nothing.
#include <memory>
#include <utility>

namespace kv::util {

class callback_wrapper_t {
public:
    callback_wrapper_t() : flag_(std::make_shared<bool>(false)) {}
    callback_wrapper_t(const callback_wrapper_t&) = delete;
    callback_wrapper_t& operator=(const callback_wrapper_t&) = delete;
    ~callback_wrapper_t() { *flag_ = true; }

    // Returns a handler that forwards its arguments to `f` while this
    // generation's flag is false. After a disarm, the next wrap starts a new
    // generation: older handlers stay disarmed, new ones run.
    template <typename F>
    auto wrap(F f)
    {
        if (*flag_)
            flag_ = std::make_shared<bool>(false);
        return [flag = flag_, f = std::move(f)](auto&&... args) mutable {
            if (!*flag)
                f(std::forward<decltype(args)>(args)...);
        };
    }

    // Disarms every handler wrapped so far.
    void disarm() noexcept { *flag_ = true; }
    bool disarmed() const noexcept { return *flag_; }

private:
    std::shared_ptr<bool> flag_;
};

} // namespace kv::util
