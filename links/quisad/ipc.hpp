#pragma once
// The quisad protocol over a message link: builds requests and turns every
// received answer into one typed call on the delegate.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "links/ipc_link.hpp"

namespace kv {
class Error;
}

namespace qd {
enum LookupType : int;
class ClientMessage;
}

namespace fw::quisad {

class ipc_t final : private util::ipc_link_t::delegate_t {
public:
    class delegate_t {
    public:
        virtual ~delegate_t() = default;
        virtual void on_lookup_response(std::uint32_t serial, std::vector<std::string> data) = 0;
        virtual void on_lookup_error(std::uint32_t serial, const kv::Error& error) = 0;
        virtual void on_check_response(std::uint32_t serial, bool result) = 0;
        virtual void on_check_error(std::uint32_t serial, const kv::Error& error) = 0;
        // The link failed; the ipc_t may be destroyed from inside.
        virtual void on_error(std::exception_ptr error) = 0;
    };

    // Reading starts at once.
    ipc_t(std::unique_ptr<util::stream_socket_t> socket, delegate_t* delegate);
    ~ipc_t();
    ipc_t(const ipc_t&) = delete;
    ipc_t& operator=(const ipc_t&) = delete;

    void send_lookup_request(std::uint32_t serial, qd::LookupType type, const std::string& tag,
                             const std::optional<std::string>& user,
                             const std::optional<std::string>& domain);
    void send_check_request(std::uint32_t serial, qd::LookupType type, const std::string& tag,
                            const std::string& value, const std::optional<std::string>& user,
                            const std::optional<std::string>& domain);

private:
    void send(const qd::ClientMessage& message);
    void on_message(void const* data, std::size_t size) override;
    void on_error(std::exception_ptr error) override;

    std::unique_ptr<util::ipc_link_t> link_;
    delegate_t* delegate_;
};

} // namespace fw::quisad
