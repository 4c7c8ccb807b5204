#pragma once
// The ids that name hook sessions in the log: random lower-case hexadecimal
// digits in the form "xxxx-xxxx-xxxx" (for example 3f0c-91ab-7d2e).
#include <string>

namespace fw::service {

// From a generator seeded once per thread: a held connection costs no system call.
std::string make_session_id();

} // namespace fw::service
