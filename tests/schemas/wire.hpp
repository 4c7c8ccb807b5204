#pragma once
// Byte-vector helpers shared by the schema tests.
#include <google/protobuf/message.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

namespace schema_test {

inline std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

// Lower-case hex with blanks, as the byte vectors are written in failure messages.
inline std::string hex(const std::string& data)
{
    std::string out;
    char buf[4];
    for (unsigned char c : data) {
        std::snprintf(buf, sizeof buf, out.empty() ? "%02x" : " %02x", c);
        out += buf;
    }
    return out;
}

// A factory of empty messages of one type, for tables mixing several types.
template <typename T>
std::function<std::unique_ptr<google::protobuf::Message>()> type()
{
    return [] { return std::unique_ptr<google::protobuf::Message>(std::make_unique<T>()); };
}

} // namespace schema_test
