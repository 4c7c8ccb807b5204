#pragma once
// Waiting for a condition in a test instead of for a time: polled until it
// holds, or until a bound with the margin a loaded machine needs has passed;
// asked every `every` (longer where asking runs a program).
#include <chrono>
#include <thread>

namespace morva_test {

template <typename Condition>
bool wait_until(Condition&& holds, std::chrono::milliseconds bound = std::chrono::seconds(30),
                std::chrono::milliseconds every = std::chrono::milliseconds(5))
{
    const auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (holds())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(every);
    }
}

} // namespace morva_test
