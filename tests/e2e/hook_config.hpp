#pragma once
// The stack's configuration with a hook of the test's own: a file written in
// the stack's directory, or bytes given as the configuration's buffer.
#include <cctype>
#include <fstream>
#include <string>

#include "tests/e2e/stack.hpp"

namespace morva_test {

// The configuration with its hook replaced by `hook` (the text between the braces).
inline std::string config_with(const std::string& config, const std::string& hook)
{
    const auto from = config.find("intercept_hook {");
    const auto to = config.find('}', from);
    return config.substr(0, from) + "intercept_hook { " + hook + " }" + config.substr(to + 1);
}

// The stack's configuration with the hook read from `file`.
inline std::string config_with_hook(const stack_t& stack, const std::string& file)
{
    return config_with(stack.config(), "file: \"" + file + "\"");
}

// Writes `text` as the stack's hook.lua; its path.
inline std::string write_hook(const stack_t& stack, const std::string& text)
{
    const std::string file = stack.path("hook.lua");
    std::ofstream(file) << text;
    return file;
}

// Bytes as a string of the configuration's text format.
inline std::string text_format_bytes(const std::string& bytes)
{
    std::string text = "\"";
    text.reserve(bytes.size() * 4 + 2);
    for (const char c : bytes) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == ' ')
            text += c;
        else {
            const auto b = static_cast<unsigned char>(c);
            text += {'\\', char('0' + (b >> 6)), char('0' + ((b >> 3) & 7)), char('0' + (b & 7))};
        }
    }
    return text + "\"";
}

} // namespace morva_test
