#pragma once
// Chooses the firewall marks the daemon tells its own traffic apart with:
// three fixed marks and one per divert, each a single bit of the 32-bit mark,
// either configured or the lowest bit no foreign rule of the host uses.
#include <cstdint>
#include <functional>

#include "fw/service/service.hpp"

namespace kv {
class LinuxFirewallConfig;
}

namespace fw::service {

class marks_t : public util::service_t {
public:
    // (routing table id, fwmark) -> whether that policy rule counts as a user of the mark.
    using filter_t = std::function<bool(std::uint32_t table, std::uint32_t mark)>;

    explicit marks_t(const kv::LinuxFirewallConfig& config);
    ~marks_t() override;

    void configure() override;

    std::uint32_t local_delivery_mark() const noexcept { return local_delivery_mark_; }
    std::uint32_t client_packets_mark() const noexcept { return client_packets_mark_; }
    std::uint32_t server_packets_mark() const noexcept { return server_packets_mark_; }
    std::uint32_t input_divert_mark() const noexcept { return input_divert_mark_; }
    std::uint32_t output_divert_mark() const noexcept { return output_divert_mark_; }
    std::uint32_t forward_divert_mark() const noexcept { return forward_divert_mark_; }

    // Divert kind 0 output, 1 input, 2 forward; any other kind yields 0.
    std::uint32_t divert_mark(int divert_kind) const noexcept;

    // An empty callable restores the default filter, which accepts every pair.
    void set_filter(filter_t filter);

private:
    const kv::LinuxFirewallConfig& config_;
    std::uint32_t local_delivery_mark_ = 0;
    std::uint32_t client_packets_mark_ = 0;
    std::uint32_t server_packets_mark_ = 0;
    std::uint32_t input_divert_mark_ = 0;
    std::uint32_t output_divert_mark_ = 0;
    std::uint32_t forward_divert_mark_ = 0;
    filter_t filter_;
};

} // namespace fw::service
