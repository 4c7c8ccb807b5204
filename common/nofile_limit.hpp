#pragma once
#include <cstdint>

// The soft open-file limit. Throws boost::system::system_error "Cannot get rlimit".
std::uint32_t nofile_limit();
