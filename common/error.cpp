#include "common/error.hpp"

#include <new>

#include <boost/system/system_error.hpp>

#include "annotation.pb.h"
#include "error.pb.h"

namespace kv {

const char* cf_proto_error_impl_t::name() const noexcept
{
    return "kv.Error";
}

std::string cf_proto_error_impl_t::message(int ev) const
{
    if (auto* value = ErrorCode_descriptor()->FindValueByNumber(ev))
        return enum_value_lex(*value);
    return "kv.Error " + std::to_string(ev);
}

const boost::system::error_category& cf_proto_error_category() noexcept
{
    // Never destroyed: codes of this category may outlive static destruction.
    static const auto* category = new cf_proto_error_impl_t;
    return *category;
}

boost::system::error_code make_error_code(ErrorCode code) noexcept
{
    return {static_cast<int>(code), cf_proto_error_category()};
}

} // namespace kv

cf_exception_t::cf_exception_t(boost::system::error_code code, std::string const& message)
    : std::runtime_error(message), code_(code)
{
}

cf_proto_exception_t::cf_proto_exception_t(kv::ErrorCode code, std::string const& message)
    : std::runtime_error(message), code_(code)
{
}

int errorcode_from_error_code(const boost::system::error_code& ec)
{
    using boost::system::errc::errc_t;
    if (ec.category() == kv::cf_proto_error_category() && kv::ErrorCode_IsValid(ec.value()))
        return ec.value();
    static constexpr struct {
        errc_t condition;
        kv::ErrorCode code;
    } map[] = {
        {boost::system::errc::success, kv::EC_OK},
        {boost::system::errc::permission_denied, kv::EC_PERMISSION_DENIED},
        {boost::system::errc::operation_not_permitted, kv::EC_PERMISSION_DENIED},
        {boost::system::errc::no_such_file_or_directory, kv::EC_NO_SUCH_ENTRY},
        {boost::system::errc::not_a_directory, kv::EC_NOT_A_DIRECTORY},
        {boost::system::errc::read_only_file_system, kv::EC_READ_ONLY_FS},
        {boost::system::errc::invalid_argument, kv::EC_INVALID_ARGUMENT},
        {boost::system::errc::file_exists, kv::EC_FILE_EXISTS},
        {boost::system::errc::address_in_use, kv::EC_NAME_ALREADY_IN_USE},
        {boost::system::errc::cross_device_link, kv::EC_CROSS_DEVICE_LINK},
        {boost::system::errc::not_enough_memory, kv::EC_NO_MEMORY},
    };
    for (const auto& entry : map)
        if (ec == boost::system::errc::make_error_condition(entry.condition))
            return entry.code;
    return kv::EC_UNEXPECTED_ERROR;
}

boost::system::error_code error_code_from_exception(const std::exception& e)
{
    if (auto* system_error = dynamic_cast<const boost::system::system_error*>(&e))
        return system_error->code();
    if (auto* proto = dynamic_cast<const cf_proto_exception_t*>(&e))
        return kv::make_error_code(proto->code());
    if (auto* cf = dynamic_cast<const cf_exception_t*>(&e))
        return cf->code();
    if (dynamic_cast<const std::bad_alloc*>(&e))
        return kv::make_error_code(kv::EC_NO_MEMORY);
    return kv::make_error_code(kv::EC_UNEXPECTED_ERROR);
}

int errorcode_from_exception(const std::exception& e)
{
    return errorcode_from_error_code(error_code_from_exception(e));
}

boost::system::error_code error_code_from_exception_ptr(std::exception_ptr e)
{
    if (!e)
        return kv::make_error_code(kv::EC_OK);
    try {
        std::rethrow_exception(e);
    } catch (const std::bad_alloc&) {
        return kv::make_error_code(kv::EC_NO_MEMORY);
    } catch (const boost::system::system_error& error) {
        return error.code();
    } catch (const cf_exception_t& error) {
        return error.code();
    } catch (const cf_proto_exception_t& error) {
        return kv::make_error_code(error.code());
    } catch (...) {
        // Anything else, a kv.ErrorCode thrown by value included.
        return kv::make_error_code(kv::EC_UNEXPECTED_ERROR);
    }
}

int errorcode_from_exception_ptr(std::exception_ptr e)
{
    return errorcode_from_error_code(error_code_from_exception_ptr(std::move(e)));
}

std::exception_ptr exception_ptr_from_error(const kv::Error& error)
{
    if (!error.has_code() || error.code() == kv::EC_OK)
        return {};
    return std::make_exception_ptr(cf_proto_exception_t(
        error.code(), error.has_what() ? error.what() : errorcode_text(error.code())));
}

std::string describe_exception_ptr(std::exception_ptr e)
{
    if (!e)
        return errorcode_text(kv::EC_OK);
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& error) {
        return describe_exception(error);
    } catch (kv::ErrorCode code) {
        return "ErrorCode: " + errorcode_text(code);
    } catch (...) {
        return "Unexpected exception";
    }
}

std::string errorcode_text(int code)
{
    if (auto* value = kv::ErrorCode_descriptor()->FindValueByNumber(code))
        return enum_value_lex(*value);
    return std::to_string(code);
}

std::string enum_value_lex(const google::protobuf::EnumValueDescriptor& value)
{
    const auto& options = value.options();
    if (options.HasExtension(kv::lex))
        return options.GetExtension(kv::lex);
    return value.name();
}

namespace kv::util {

std::string exception_message(std::exception_ptr const& e)
{
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "Unexpected exception";
    }
}

} // namespace kv::util
