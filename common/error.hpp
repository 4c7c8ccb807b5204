#pragma once
// Errors of the suite: the "kv.Error" category of kv.ErrorCode values, the two
// exception classes that carry codes, and the conversions of exceptions to
// error codes, exit statuses and log texts.
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

#include <boost/system/error_code.hpp>

#include "common/log_hook.hpp"

namespace google::protobuf {
class EnumValueDescriptor;
}

namespace kv {

enum ErrorCode : int; // generated from error.proto ("error.pb.h")
class Error;

class cf_proto_error_impl_t : public boost::system::error_category {
public:
    const char* name() const noexcept override; // "kv.Error"
    std::string message(int ev) const override;
    using boost::system::error_category::message;
};

// The one instance, created on first use and never destroyed.
const boost::system::error_category& cf_proto_error_category() noexcept;

boost::system::error_code make_error_code(ErrorCode code) noexcept;

// Whether `code` is the system's errno `value`, as the kernel's replies carry them.
inline bool is_errno(const boost::system::error_code& code, int value) noexcept
{
    return code.category() == boost::system::system_category() && code.value() == value;
}

} // namespace kv

namespace boost::system {
template <>
struct is_error_code_enum<kv::ErrorCode> {
    static const bool value = true;
};
} // namespace boost::system

// A runtime error that keeps an error code of any category; what() is the message alone.
class cf_exception_t : public std::runtime_error {
public:
    cf_exception_t(boost::system::error_code code, std::string const& message);
    const boost::system::error_code& code() const noexcept { return code_; }

private:
    boost::system::error_code code_;
};

// A protocol-level failure carrying a kv.ErrorCode; what() is the message alone.
class cf_proto_exception_t : public std::runtime_error {
public:
    cf_proto_exception_t(kv::ErrorCode code, std::string const& message);
    kv::ErrorCode code() const noexcept { return static_cast<kv::ErrorCode>(code_); }

private:
    std::int32_t code_;
};

// The kv.ErrorCode number (exit status) of an error code.
int errorcode_from_error_code(const boost::system::error_code& ec);
boost::system::error_code error_code_from_exception(const std::exception& e);
int errorcode_from_exception(const std::exception& e);
// An empty pointer gives code 0 of the "kv.Error" category.
boost::system::error_code error_code_from_exception_ptr(std::exception_ptr e);
int errorcode_from_exception_ptr(std::exception_ptr e);
// A peer's error as an exception; empty when the code is absent or EC_OK.
std::exception_ptr exception_ptr_from_error(const kv::Error& error);

// The text of an exception for a log line, with the leading Boost scope cut.
// Never throws.
const char* describe_exception(const std::exception& e) noexcept;
std::string describe_exception_ptr(std::exception_ptr e);

// Display text of a code number: its lex text, or the number in decimal.
std::string errorcode_text(int code);
// The lex text of an enumeration value, else its name.
std::string enum_value_lex(const google::protobuf::EnumValueDescriptor& value);
