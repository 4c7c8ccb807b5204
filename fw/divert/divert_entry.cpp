#include "fw/divert/divert_entry.hpp"

#include <cctype>
#include <cstring>
#include <utility>

#include "common/endpoint_text.hpp"
#include "common/error.hpp"
#include "common/log.hpp"
#include "common/rate_limit.hpp"
#include "fw/divert/connection_rejector.hpp"
#include "fw/divert/marking_retransmitter.hpp"
#include "fw/service/marks.hpp"
#include "fw/divert/packet_validator.hpp"
#include "fw/divert/session_id.hpp"
#include "fw/divert/transparent_acceptor.hpp"
#include "net/checksum.hpp"
#include "net/ip_options.hpp"
#include "net/ipv4_header.hpp"
#include "net/tcp_header.hpp"

namespace fw::service {

namespace {

using packet_attribs_t = linux::nfqueue::packet_interceptor_t::packet_attribs_t;

} // namespace

std::string endpoint_pair_text(const connection_diverter_t::endpoint_pair_t& pair)
{
    return util::endpoint_pair_text(pair.first, pair.second);
}

const char* syn_ack_word(std::uint16_t flags)
{
    switch (flags & (net::tcp_header_t::syn | net::tcp_header_t::ack)) {
    case net::tcp_header_t::syn | net::tcp_header_t::ack:
        return "SYN,ACK";
    case net::tcp_header_t::syn:
        return "SYN";
    case net::tcp_header_t::ack:
        return "ACK";
    default:
        return "";
    }
}

kv::RuleSet make_rule_set(const kv::RuleSet& rules, const connection_diverter_t::endpoint_pair_t& pair,
                          int divert_kind, const lua::intercept::artifacts_t& artifacts)
{
    static const kv::Divert diverts[divert_count] = {kv::D_OUTPUT, kv::D_INPUT, kv::D_FORWARD};
    kv::RuleSet result(rules);
    auto* src = result.add_variable()->mutable_src_address();
    src->set_address(pair.first.address().to_string());
    src->set_port(pair.first.port());
    auto* dst = result.add_variable()->mutable_dst_address();
    dst->set_address(pair.second.address().to_string());
    dst->set_port(pair.second.port());
    result.add_variable()->set_divert(diverts[divert_kind]);
    if (artifacts.exe_path)
        result.add_variable()->set_exe_path(*artifacts.exe_path);
    if (artifacts.user)
        result.add_variable()->set_user_name(*artifacts.user);
    return result;
}

const std::uint8_t* security_option_of(const net::ipv4_header_t& ip)
{
    const unsigned length = ip.header_length();
    return net::find_security_option(ip.options(), length >= net::ipv4_header_t::min_size
                                                       ? length - net::ipv4_header_t::min_size
                                                       : 0);
}

// A held connection, as its verdict handler needs it.
struct connection_diverter_t::divert_entry_t::held_t {
    pending_t::iterator position;
    lua::intercept::connection_info_t info;
    saved_syn_t syn;
    unsigned ip_length;
    unsigned tcp_length;
    packet_entry_ptr packet;
    std::string session_id;
};

// A server connect, as its completion needs it. The pointers point into the
// saved SYN, which this record keeps alive as long as the connector may read
// the security option.
struct connection_diverter_t::divert_entry_t::connect_t {
    std::list<connects_t::map_t::iterator>::iterator position;
    packet_entry_ptr packet;
    endpoint_pair_t pair;
    const net::ipv4_header_t* ip;
    const std::uint8_t* security_option;
    const net::tcp_header_t* tcp;
    std::uint32_t destination;
    saved_syn_t syn;
    std::size_t length;
    kv::RuleSet rules;
};

connection_diverter_t::divert_entry_t::divert_entry_t(
    connection_diverter_t& diverter, int divert_kind, std::unique_ptr<linux::nfqueue::packet_interceptor_t> interceptor,
    bool connect_transparently, bool process_ip_security_option)
    : diverter_(diverter), divert_kind_(divert_kind), interceptor_(std::move(interceptor)),
      connect_transparently_(connect_transparently), process_ip_security_option_(process_ip_security_option)
{
}

connection_diverter_t::divert_entry_t::~divert_entry_t()
{
    for (auto position : connects_) {
        diverter_.connector_.cancel(position->second);
        diverter_.connects_->map.erase(position);
    }
    connects_.clear();
    pending_.clear();
    interceptor_.reset();
    disarm();
}

void connection_diverter_t::divert_entry_t::start() { interceptor_->start(this); }

std::string connection_diverter_t::divert_entry_t::prefix() const
{
    return "Connection diverter: divert " + divert_chain_name(divert_kind_) + ": ";
}

void connection_diverter_t::divert_entry_t::packet_intercepted(const net::ipv4_header_t& ip,
                                                               const net::tcp_header_t& tcp,
                                                               const packet_attribs_t& attribs,
                                                               packet_entry_ptr packet)
{
    const std::uint32_t mark = attribs.mark.value_or(0);
    const endpoint_pair_t pair(net::source_endpoint(ip, tcp), net::destination_endpoint(ip, tcp));
    const std::uint16_t flags = tcp.flags() & (net::tcp_header_t::syn | net::tcp_header_t::ack);

    cf_log_lazy(log_debug, [&] {
        return prefix() + "packet intercepted: " + endpoint_pair_text(pair) + " (" + syn_ack_word(flags)
            + "), mark " + std::to_string(mark);
    });

    if (process_ip_security_option_ && flags == (net::tcp_header_t::syn | net::tcp_header_t::ack)) {
        if (should_drop_syn_ack(pair, ip, tcp, mark)) {
            cf_log_lazy(log_debug, [&] { return prefix() + "dropping packet " + endpoint_pair_text(pair); });
            interceptor_->drop(packet);
        } else {
            interceptor_->accept(packet);
        }
        return;
    }

    if (should_drop_syn(pair, ip, tcp, mark)) {
        cf_log_lazy(log_debug, [&] { return prefix() + "dropping packet " + endpoint_pair_text(pair); });
        interceptor_->drop(packet);
        return;
    }
    hold(pair, ip, tcp, attribs, std::move(packet));
}

void connection_diverter_t::divert_entry_t::log_invalid(const std::exception& e) const
{
    cf_log_rate_limited(log_warning, [&] {
        return prefix() + "invalid packet intercepted: " + e.what()
            + "; dropping. Iptables rules are likely misconfigured!";
    });
}

bool connection_diverter_t::divert_entry_t::should_drop_syn(const endpoint_pair_t& pair,
                                                            const net::ipv4_header_t& ip,
                                                            const net::tcp_header_t& tcp, std::uint32_t mark) const
{
    try {
        diverter_.validator_.validate_syn(ip, tcp, mark);
    } catch (const packet_validator_t::invalid_packet_t& e) {
        log_invalid(e);
        return true;
    }
    // The texts are built only when they are logged: this runs for every SYN.
    const auto server = [&pair] { return endpoint_text(pair.second); };
    const auto client = [&pair] { return endpoint_text(pair.first); };
    if (diverter_.connects_->map.count(pair)) {
        cf_log_lazy(log_debug, [&] {
            return prefix() + "connection to server " + server() + " for client " + client()
                + " is already in progress";
        });
        return true;
    }
    if (diverter_.pool_.has_server_socket(pair.first, pair.second)) {
        cf_log_lazy(log_debug, [&] {
            return prefix() + "already connected to server " + server() + " for client " + client();
        });
        return true;
    }
    if (pending_.count(pair)) {
        cf_log_lazy(log_debug, [&] {
            return prefix() + "verdict for connection to server " + server() + " for client " + client()
                + " is already requested";
        });
        return true;
    }
    return false;
}

bool connection_diverter_t::divert_entry_t::should_drop_syn_ack(const endpoint_pair_t& pair,
                                                                const net::ipv4_header_t& ip,
                                                                const net::tcp_header_t& tcp,
                                                                std::uint32_t mark) const
{
    try {
        diverter_.validator_.validate_syn_ack(ip, tcp, mark);
    } catch (const packet_validator_t::invalid_packet_t& e) {
        log_invalid(e);
        return true;
    }
    // The connector indexes its connects by (its own local endpoint, server).
    const endpoint_pair_t key(pair.second, pair.first);
    const auto connection = diverter_.connector_.find_connection(key);
    if (!connection) {
        cf_log_lazy(log_debug, [&] {
            return prefix() + "connection " + endpoint_pair_text(key) + " is not in progress";
        });
        return true;
    }
    if (diverter_.connector_.security_option_matches(*connection, security_option_of(ip)))
        return false;
    cf_log_lazy(log_debug, [&] { return prefix() + "security option mismatch for " + endpoint_pair_text(key); });
    return true;
}

lua::intercept::connection_info_t
connection_diverter_t::divert_entry_t::make_connection_info(const endpoint_pair_t& pair,
                                                            const packet_attribs_t& attribs) const
{
    lua::intercept::connection_info_t info;
    info.source = pair.first;
    info.destination = pair.second;
    info.divert = divert_chain_name(divert_kind_);
    for (auto& c : info.divert)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    info.in_interface = attribs.in_ifindex;
    info.out_interface = attribs.out_ifindex;
    info.uid = attribs.uid;
    info.gid = attribs.gid;
    return info;
}

void connection_diverter_t::divert_entry_t::hold(const endpoint_pair_t& pair, const net::ipv4_header_t& ip,
                                                 const net::tcp_header_t& tcp, const packet_attribs_t& attribs,
                                                 packet_entry_ptr packet)
{
    const unsigned ip_length = ip.header_length();
    const unsigned tcp_length = tcp.header_length();
    auto syn = std::make_shared<std::unique_ptr<std::uint8_t[]>>(
        std::make_unique<std::uint8_t[]>(ip_length + tcp_length));
    std::memcpy(syn->get(), ip.data(), ip_length);
    std::memcpy(syn->get() + ip_length, tcp.data(), tcp_length);
    // The copy leaves out any payload (the data of a TCP Fast Open SYN), so
    // its lengths and checksums must describe the headers alone, or the
    // kernel discards the re-sent SYN; the client sends the data again on
    // the accepted connection.
    net::reseal_tcp_datagram(syn->get(), ip_length + tcp_length);

    auto info = make_connection_info(pair, attribs);
    std::string session_id = make_session_id();

    // The slot exists before the session does, so its handler can name it.
    auto position = pending_.emplace(pair, nullptr).first;
    try {
        held_t held{position, info, std::move(syn), ip_length, tcp_length, std::move(packet), session_id};
        position->second = diverter_.sessions_(
            info, session_id,
            wrap([this, held = std::move(held)](std::exception_ptr error, int verdict,
                                                const lua::intercept::artifacts_t& artifacts) {
                on_verdict(held, std::move(error), verdict, artifacts);
            }));
    } catch (...) {
        pending_.erase(position);
        throw;
    }
}

void connection_diverter_t::divert_entry_t::on_verdict(const held_t& held, std::exception_ptr error, int verdict,
                                                       const lua::intercept::artifacts_t& artifacts)
{
    // `held` lives in the handler, which the session gave away before calling
    // it, so it outlives the session destroyed here.
    pending_.erase(held.position);

    if (error) {
        cf_log_lazy(log_error, [&] {
            return prefix() + "Session " + held.session_id + ": cannot get verdict for intercepted connection: "
                + describe_exception_ptr(error) + "; falling back to CHECK";
        });
        verdict = lua::intercept::CHECK;
    }

    const auto& ip = net::ipv4_header_t::at(held.syn->get());
    const auto& tcp = net::tcp_header_t::at(held.syn->get() + held.ip_length);
    switch (verdict) {
    case lua::intercept::DROP:
        interceptor_->drop(held.packet);
        break;
    case lua::intercept::REJECT: {
        interceptor_->drop(held.packet);
        const std::uint8_t* option = process_ip_security_option_ ? security_option_of(ip) : nullptr;
        diverter_.rejector_.reject(ip, option, tcp);
        break;
    }
    case lua::intercept::PASS:
        interceptor_->repeat_with_mark(held.packet, diverter_.marks_.client_packets_mark()
                                                        | diverter_.marks_.server_packets_mark());
        break;
    default: {
        const endpoint_pair_t pair(held.info.source, held.info.destination);
        handle_check_verdict(pair, held.syn, held.ip_length, held.tcp_length, held.packet,
                             make_rule_set(diverter_.config_.rules(), pair, divert_kind_, artifacts));
        break;
    }
    }
}

void connection_diverter_t::divert_entry_t::handle_check_verdict(const endpoint_pair_t& pair, const saved_syn_t& syn,
                                                                 unsigned ip_length, unsigned tcp_length,
                                                                 const packet_entry_ptr& packet, kv::RuleSet rules)
{
    const auto& ip = net::ipv4_header_t::at(syn->get());
    const auto& tcp = net::tcp_header_t::at(syn->get() + ip_length);

    auto record = std::make_shared<connect_t>();
    record->packet = packet;
    record->pair = pair;
    record->ip = &ip;
    record->security_option = process_ip_security_option_ ? security_option_of(ip) : nullptr;
    record->tcp = &tcp;
    record->destination = ip.destination_address_raw();
    record->syn = syn;
    record->length = ip_length + tcp_length;
    record->rules = std::move(rules);

    record->position = connects_.emplace(connects_.end());
    auto& connects = diverter_.connects_->map;
    auto position = connects.emplace(pair, server_connector_t::connection_handle{});
    std::optional<boost::asio::ip::address> bind_address;
    if (connect_transparently_)
        bind_address = pair.first.address();
    try {
        const auto list_position = record->position;
        position->second = diverter_.connector_.connect(
            pair.second, record->security_option, bind_address, divert_kind_,
            [this, record](boost::system::error_code ec, util::scoped_fd_t fd) {
                on_server_connected(*record, ec, std::move(fd));
            });
        *list_position = position;
    } catch (...) {
        connects.erase(position);
        connects_.erase(record->position);
        throw;
    }
}

void connection_diverter_t::divert_entry_t::on_server_connected(const connect_t& connect,
                                                                boost::system::error_code ec, util::scoped_fd_t fd)
{
    diverter_.connects_->map.erase(*connect.position);
    connects_.erase(connect.position);

    interceptor_->drop(connect.packet);

    const auto server = [&connect] { return endpoint_text(connect.pair.second); };
    const auto client = [&connect] { return endpoint_text(connect.pair.first); };
    if (ec) {
        cf_log_lazy(log_debug, [&] {
            return prefix() + "cannot connect to " + server() + " for client " + client() + ": " + ec.message()
                + "; rejecting connection";
        });
        diverter_.rejector_.reject(*connect.ip, connect.security_option, *connect.tcp);
        return;
    }
    cf_log_lazy(log_debug, [&] { return prefix() + "connected to " + server() + " for client " + client(); });
    diverter_.retransmitter_.retransmit(connect.destination, std::move(*connect.syn), connect.length);
    diverter_.pool_.new_server_socket(connect.pair.first, connect.pair.second, connect.rules, std::move(fd));
}

} // namespace fw::service
