#include "links/marend_tie.hpp"

#include <google/protobuf/descriptor.h>

#include "common/error.hpp"
#include "common/log.hpp"
#include "links/protobuf_error.hpp"
#include "links/stream_socket.hpp"
#include "marend_linux_firewall_ipc.pb.h"

namespace fw::marend {

namespace {

using in_message_t = kv::Marend2FirewallMessage;
using out_message_t = kv::Firewall2MarendMessage;

std::string tag_name(const in_message_t& message)
{
    return enum_value_lex(*in_message_t::MessageTag_descriptor()->FindValueByNumber(message.tag()));
}

cf_exception_t protocol_violation(const in_message_t& message, const char* field)
{
    return cf_exception_t(kv::make_error_code(kv::EC_PROTOCOL_VIOLATION),
                          "message " + message.GetDescriptor()->full_name() + " tagged " + tag_name(message)
                              + " does not have field " + field + " set");
}

cf_exception_t unexpected_message(const in_message_t& message)
{
    return cf_exception_t(kv::make_error_code(kv::EC_UNEXPECTED_MESSAGE), tag_name(message));
}

template <typename Callback>
Callback take_oldest(std::list<Callback>& callbacks)
{
    // Removed before it is called, so a request made from inside the callback
    // queues behind the remaining ones.
    Callback callback = std::move(callbacks.front());
    callbacks.pop_front();
    return callback;
}

out_message_t tagged(out_message_t::MessageTag tag)
{
    out_message_t message;
    message.set_tag(tag);
    return message;
}

} // namespace

tie_t::tie_t(delegate_t& delegate, std::unique_ptr<util::stream_socket_t> socket)
    : delegate_(&delegate), link_(std::make_unique<util::ipc_link_t>(static_cast<util::ipc_link_t::delegate_t*>(this),
                                                  std::move(socket)))
{
}

tie_t::~tie_t() = default;

void tie_t::request_config(config_callback_t callback)
{
    config_callbacks_.push_back(std::move(callback));
    send(tagged(out_message_t::GET_CONFIG_REQUEST));
}

void tie_t::send_info(const kv::LinuxFirewallAppInfo& info, unsigned revision)
{
    auto message = tagged(out_message_t::MY_INFO_NOTIFICATION);
    *message.mutable_info() = info;
    message.set_config_revision(revision);
    send(message);
}

void tie_t::request_pellad_path(path_callback_t callback)
{
    pellad_callbacks_.push_back(std::move(callback));
    send(tagged(out_message_t::GET_PELLAD_REQUEST));
}

void tie_t::request_quisad_path(path_callback_t callback)
{
    quisad_callbacks_.push_back(std::move(callback));
    send(tagged(out_message_t::GET_QUISAD_REQUEST));
}

void tie_t::send(const out_message_t& message)
{
    cf_log_lazy(log_debug, [&] { return "Marend tie: sending message: " + message.ShortDebugString(); });
    if (!link_)
        return; // failed: the daemon is ending and nothing reaches marend any more
    const std::size_t size = message.ByteSizeLong();
    auto data = std::make_unique<std::uint8_t[]>(size);
    message.SerializeWithCachedSizesToArray(data.get());
    link_->write(std::move(data), size);
}

void tie_t::on_message(void const* data, std::size_t size)
{
    try {
        in_message_t message;
        if (!message.ParseFromArray(data, static_cast<int>(size)))
            throw util::protobuf_parse_error_t(message.GetDescriptor()->full_name() + ": invalid message format");
        handle(message);
    } catch (const std::runtime_error&) {
        on_error(std::current_exception());
    }
}

void tie_t::handle(in_message_t& message)
{
    switch (message.tag()) {
    case in_message_t::GET_CONFIG_RESPONSE: {
        if (!message.has_config_revision())
            throw protocol_violation(message, "config_revision");
        if (!message.has_config())
            throw protocol_violation(message, "config");
        if (message.has_control() && message.control().suspended()) {
            cf_log_lazy(log_notice, [] { return "Component suspended, exiting..."; });
            throw kv::EC_APP_SUSPENDED;
        }
        if (config_callbacks_.empty())
            throw unexpected_message(message);
        take_oldest(config_callbacks_)(*message.mutable_config(), message.config_revision());
        return;
    }
    case in_message_t::GET_PELLAD_RESPONSE:
        return handle_path(message, pellad_callbacks_);
    case in_message_t::GET_QUISAD_RESPONSE:
        return handle_path(message, quisad_callbacks_);
    }
    throw cf_proto_exception_t(kv::EC_PROTOCOL_VIOLATION, message.GetDescriptor()->full_name()
                                                              + ": unknown message tag: "
                                                              + std::to_string(message.tag()));
}

void tie_t::handle_path(in_message_t& message, std::list<path_callback_t>& callbacks)
{
    if (callbacks.empty())
        throw unexpected_message(message);
    // An error record with code EC_OK reports no error: the path must then be there.
    if (message.has_error() && message.error().code() != kv::EC_OK)
        return take_oldest(callbacks)(kv::make_error_code(message.error().code()), std::string());
    if (!message.has_socket_path())
        throw protocol_violation(message, "socket_path");
    take_oldest(callbacks)(boost::system::error_code(), message.socket_path());
}

void tie_t::on_error(std::exception_ptr error)
{
    // The outstanding callbacks stay until the tie is destroyed.
    link_.reset();
    delegate_->on_error(std::move(error));
}

} // namespace fw::marend
