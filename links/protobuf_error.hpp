#pragma once
// A received body that does not parse as the expected message; the text is
// the message's full type name and ": invalid message format".
#include <stdexcept>
#include <string>

namespace fw::util {

class protobuf_parse_error_t : public std::runtime_error {
public:
    explicit protobuf_parse_error_t(const std::string& what) : std::runtime_error(what) {}
};

} // namespace fw::util
