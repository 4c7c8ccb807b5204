#include "links/quisad/ipc.hpp"

#include <google/protobuf/descriptor.h>

#include "common/error.hpp"
#include "error.pb.h"
#include "links/protobuf_error.hpp"
#include "links/stream_socket.hpp"
#include "quisad_client_ipc.pb.h"

namespace fw::quisad {

namespace {

void fill_request(qd::ClientMessage& message, std::uint32_t serial, qd::LookupType type,
                  const std::string& tag, const std::optional<std::string>& user,
                  const std::optional<std::string>& domain)
{
    message.set_serial(serial);
    message.set_lookup_type(type);
    message.set_lookup_tag(tag);
    if (user)
        message.set_user(*user);
    if (domain)
        message.set_domain(*domain);
}

std::string tag_name(const qd::ServerMessage& message)
{
    return enum_value_lex(*qd::ServerMessage::ServerMessageTag_descriptor()->FindValueByNumber(
        message.tag()));
}

// "message qd.ServerMessage tagged CHECK_RESPONSE does not have field serial set"
void require_serial(const qd::ServerMessage& message)
{
    const auto* field = message.GetDescriptor()->FindFieldByName("serial");
    if (message.GetReflection()->HasField(message, field))
        return;
    throw cf_exception_t(make_error_code(kv::EC_PROTOCOL_VIOLATION),
                         "message " + message.GetDescriptor()->full_name() + " tagged " +
                             tag_name(message) + " does not have field serial set");
}

// An error record with code 0 reports no error: the answer's own fields count.
bool carries_error(const qd::ServerMessage& message)
{
    return message.has_error() && message.error().code() != kv::EC_OK;
}

} // namespace

ipc_t::ipc_t(std::unique_ptr<util::stream_socket_t> socket, delegate_t* delegate)
    : link_(std::make_unique<util::ipc_link_t>(static_cast<util::ipc_link_t::delegate_t*>(this),
                                               std::move(socket))),
      delegate_(delegate)
{
}

ipc_t::~ipc_t() = default;

void ipc_t::send_lookup_request(std::uint32_t serial, qd::LookupType type, const std::string& tag,
                                const std::optional<std::string>& user,
                                const std::optional<std::string>& domain)
{
    qd::ClientMessage message;
    message.set_tag(qd::ClientMessage::LOOKUP_REQUEST);
    fill_request(message, serial, type, tag, user, domain);
    send(message);
}

void ipc_t::send_check_request(std::uint32_t serial, qd::LookupType type, const std::string& tag,
                               const std::string& value, const std::optional<std::string>& user,
                               const std::optional<std::string>& domain)
{
    qd::ClientMessage message;
    message.set_tag(qd::ClientMessage::CHECK_REQUEST);
    fill_request(message, serial, type, tag, user, domain);
    message.set_check(value);
    send(message);
}

void ipc_t::send(const qd::ClientMessage& message)
{
    const std::size_t size = message.ByteSizeLong();
    auto data = std::make_unique<std::uint8_t[]>(size);
    message.SerializeWithCachedSizesToArray(data.get());
    link_->write(std::move(data), size);
}

void ipc_t::on_message(void const* data, std::size_t size)
{
    qd::ServerMessage message;
    if (!message.ParseFromArray(data, static_cast<int>(size)))
        throw util::protobuf_parse_error_t(message.GetDescriptor()->full_name() +
                                           ": invalid message format");
    // Nothing of this object is touched after a delegate call: the client may destroy it.
    switch (message.tag()) {
    case qd::ServerMessage::LOOKUP_RESPONSE:
        require_serial(message);
        if (carries_error(message)) {
            delegate_->on_lookup_error(message.serial(), message.error());
        } else {
            delegate_->on_lookup_response(
                message.serial(), std::vector<std::string>(message.data().begin(), message.data().end()));
        }
        break;
    case qd::ServerMessage::CHECK_RESPONSE:
        require_serial(message);
        if (!message.has_result() && !message.has_error())
            throw cf_exception_t(make_error_code(kv::EC_PROTOCOL_VIOLATION),
                                 "message " + message.GetDescriptor()->full_name() + " tagged " +
                                     tag_name(message) + " has neither result nor error fields set");
        if (carries_error(message) || !message.has_result())
            delegate_->on_check_error(message.serial(), message.error());
        else
            delegate_->on_check_response(message.serial(), message.result());
        break;
    }
}

void ipc_t::on_error(std::exception_ptr error)
{
    link_.reset();
    delegate_->on_error(error);
}

} // namespace fw::quisad
