#pragma once
#include <cstddef>
#include <string>

// One read(2), repeated when interrupted; 0 at end of file. Throws
// boost::system::system_error "read".
std::size_t read_some(int fd, char* data, std::size_t size);
// Everything readable from fd until end of file, trailing CR and LF removed.
// Throws boost::system::system_error "read".
std::string read_all(int fd);
