#pragma once
#include <string>

// Everything readable from fd until end of file, trailing CR and LF removed.
// Throws boost::system::system_error "read".
std::string read_all(int fd);
