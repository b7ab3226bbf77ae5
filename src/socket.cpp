#include "socket.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>

#include "error.h"

namespace tamber {
namespace {

// Winsock counts lengths in int; larger transfers go in pieces.
constexpr std::size_t max_chunk = INT_MAX;

int chunk_length(std::size_t left) { return static_cast<int>(std::min(left, max_chunk)); }

// The Linux kernel client's range.
constexpr std::uint16_t lowest_reserved = 665;
constexpr std::uint16_t highest_reserved = 1023;
// Reserved ports of well-known services, which a client must leave free for them.
constexpr std::uint16_t service_ports[] = {749, 750, 774, 783, 853, 860, 873, 902,
                                           912, 921, 989, 990, 992, 993, 995};
// Windows refuses ports it keeps for itself one by one; wine run by a user who may not bind
// them refuses them all.
constexpr unsigned most_refusals = 16;
// New sockets on the next ports after a connect that finds its pair still in use.
constexpr unsigned most_pair_retries = 8;

// The socket system running in this process. One per process, as the library it brackets: the
// run's ports are the process's, not any one caller's.
SocketSystem* running_system = nullptr;

// Windows' process ids are multiples of 4, and those of one session come close together: mixed,
// their first ports spread over the whole range.
std::uint32_t spread_of(std::uint32_t process_id) {
    const std::uint32_t h = process_id * 2654435761U;  // Knuth's multiplicative hash
    return h ^ (h >> 16);
}

bool is_kept(std::uint16_t port, const std::vector<std::uint16_t>& kept) {
    return std::find(std::begin(service_ports), std::end(service_ports), port) !=
               std::end(service_ports) ||
           std::find(kept.begin(), kept.end(), port) != kept.end();
}

}  // namespace

ReservedPorts::ReservedPorts(std::uint32_t process_id, const std::vector<std::uint16_t>& kept) {
    for (std::uint16_t port = highest_reserved; port >= lowest_reserved; --port) {
        if (!is_kept(port, kept)) {
            ports.push_back(port);
        }
    }
    next = ports.empty() ? 0 : spread_of(process_id) % ports.size();
}

std::uint16_t ReservedPorts::bind(platform::Socket sock) {
    // Each port at most once: with the whole range busy, an ordinary port.
    for (std::size_t tried = 0; allowed && tried < ports.size(); ++tried) {
        const std::uint16_t port = ports[next];
        next = (next + 1) % ports.size();
        // The wildcard address is all zero bits; the port goes most significant byte first.
        sockaddr_in address{};
        address.sin_family = AF_INET;
        const std::uint8_t port_bytes[2] = {static_cast<std::uint8_t>(port >> 8),
                                            static_cast<std::uint8_t>(port)};
        std::memcpy(&address.sin_port, port_bytes, sizeof port_bytes);
        // No SO_REUSEADDR: on Windows it would take a port a local service holds.
        if (platform::bind_socket(sock, reinterpret_cast<const sockaddr*>(&address),
                                  sizeof address) == 0) {
            refusals = 0;
            return port;
        }
        switch (platform::bind_failure(platform::wsa_get_last_error())) {
            case platform::BindFailure::busy:
                refusals = 0;
                break;
            case platform::BindFailure::refused:
                allowed = ++refusals < most_refusals;
                break;
            case platform::BindFailure::not_allowed:
                allowed = false;
                break;
            case platform::BindFailure::other:
                return 0;
        }
    }
    return 0;
}

std::string format_error(const std::string& operation, std::int32_t number) {
    return operation + " failed with error " + std::to_string(number);
}

std::uint32_t socket_timeout_ms(std::uint32_t requested_ms) {
    return requested_ms < 1000U ? 1000U : requested_ms / 1000U * 1000U;
}

SocketSystem::SocketSystem()
    : reserved(platform::process_id(), platform::ports_kept_for_services()) {
    // Version word 2: major 2, minor 0.
    const int result = platform::wsa_startup(0x0002);
    if (result != 0) {
        throw Error(format_error("WSAStartup", result));
    }
    if (running_system == nullptr) {
        running_system = this;
    }
}

SocketSystem::~SocketSystem() {
    if (running_system == this) {
        running_system = nullptr;
    }
    platform::wsa_cleanup();
}

ReservedPorts* SocketSystem::reserved_ports() {
    return running_system == nullptr ? nullptr : &running_system->reserved;
}

TcpSocket::~TcpSocket() { close(); }

void TcpSocket::close() noexcept {
    if (sock == platform::invalid_socket) {
        return;
    }
    // An abortive close (linger on, time 0) leaves no TIME_WAIT behind: one connection per call
    // would otherwise exhaust the local ports on a large file. The client closes only after the
    // whole reply has arrived or the call has failed, so nothing is lost.
    const platform::Linger abortive{1, 0};
    platform::set_socket_option(sock, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    platform::close_socket(sock);
    sock = platform::invalid_socket;
}

void TcpSocket::connect_to(const std::string& host, std::uint16_t port, std::uint32_t timeout_ms) {
    close();
    const std::string service = std::to_string(port);
    platform::AddressInfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    platform::AddressInfo* list = nullptr;
    if (platform::get_addr_info(host.c_str(), service.c_str(), &hints, &list) != 0 ||
        list == nullptr) {
        throw Error("could not resolve host " + host);
    }
    const platform::AddressInfo* first = list;
    ReservedPorts* const reserved = SocketSystem::reserved_ports();
    int result = 0;
    std::optional<int> error;  // read early only where it decides on another attempt
    for (unsigned attempt = 0;; ++attempt) {
        sock = platform::open_socket(first->ai_family, first->ai_socktype, first->ai_protocol);
        if (sock == platform::invalid_socket) {
            platform::free_addr_info(list);
            const int err = platform::wsa_get_last_error();
            throw Error(format_error("socket", err));
        }
        const std::uint32_t value = socket_timeout_ms(timeout_ms);
        platform::set_socket_option(sock, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
        platform::set_socket_option(sock, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
        const bool bound =
            reserved != nullptr && attempt <= most_pair_retries && reserved->bind(sock) != 0;
        result =
            platform::connect_socket(sock, first->ai_addr, static_cast<int>(first->ai_addrlen));
        if (result == 0 || !bound) {
            break;
        }
        error = platform::wsa_get_last_error();
        if (!platform::is_address_pair_in_use(*error)) {
            break;
        }
        // The port is still paired with this peer from an earlier connection. Nothing has been
        // sent, so a new socket on the next port is no second attempt at the call.
        close();
        error.reset();
    }
    platform::free_addr_info(list);
    if (result != 0) {
        const int err = error ? *error : platform::wsa_get_last_error();
        close();
        throw Error(format_error("connect", err));
    }
}

void TcpSocket::send_all(const Bytes& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const int n =
            platform::send_bytes(sock, data.data() + sent, chunk_length(data.size() - sent));
        if (n <= 0) {
            throw Error(format_error("send", platform::wsa_get_last_error()));
        }
        sent += static_cast<std::size_t>(n);
    }
}

Bytes TcpSocket::recv_exact(std::uint32_t n) {
    Bytes buf(n);
    recv_into(buf.data(), n);
    return buf;
}

void TcpSocket::recv_into(std::uint8_t* dest, std::uint32_t n) {
    std::size_t got = 0;
    while (got < n) {
        const int r = platform::recv_bytes(sock, dest + got, chunk_length(n - got));
        if (r <= 0) {
            throw Error(format_error("recv", platform::wsa_get_last_error()));
        }
        got += static_cast<std::size_t>(r);
    }
}

}  // namespace tamber
