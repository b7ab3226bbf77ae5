#include "socket.h"

#include <algorithm>
#include <climits>

#include "error.h"

namespace tamber {
namespace {

// Winsock counts lengths in int; larger transfers go in pieces.
constexpr std::size_t max_chunk = INT_MAX;

int chunk_length(std::size_t left) { return static_cast<int>(std::min(left, max_chunk)); }

}  // namespace

std::string format_error(const std::string& operation, std::int32_t number) {
    return operation + " failed with error " + std::to_string(number);
}

std::uint32_t socket_timeout_ms(std::uint32_t requested_ms) {
    return requested_ms < 1000U ? 1000U : requested_ms / 1000U * 1000U;
}

SocketSystem::SocketSystem() {
    // Version word 2: major 2, minor 0.
    const int result = platform::wsa_startup(0x0002);
    if (result != 0) {
        throw Error(format_error("WSAStartup", result));
    }
}

SocketSystem::~SocketSystem() { platform::wsa_cleanup(); }

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
    sock = platform::open_socket(first->ai_family, first->ai_socktype, first->ai_protocol);
    if (sock == platform::invalid_socket) {
        platform::free_addr_info(list);
        const int err = platform::wsa_get_last_error();
        throw Error(format_error("socket", err));
    }
    const std::uint32_t value = socket_timeout_ms(timeout_ms);
    platform::set_socket_option(sock, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
    platform::set_socket_option(sock, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
    const int result =
        platform::connect_socket(sock, first->ai_addr, static_cast<int>(first->ai_addrlen));
    platform::free_addr_info(list);
    if (result != 0) {
        const int err = platform::wsa_get_last_error();
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
