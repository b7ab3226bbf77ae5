#pragma once

#include <cstdint>
#include <string>

#include "bytes.h"
#include "platform.h"

namespace tamber {

// "<operation> failed with error <number>", the number in signed decimal.
std::string format_error(const std::string& operation, std::int32_t number);

// The socket time-out actually set for a requested one: cut down to whole seconds, at least one.
std::uint32_t socket_timeout_ms(std::uint32_t requested_ms);

// Brackets every use of the socket library: starts it on construction, stops it on destruction.
class SocketSystem {
public:
    SocketSystem();
    ~SocketSystem();
    SocketSystem(const SocketSystem&) = delete;
    SocketSystem& operator=(const SocketSystem&) = delete;
};

// One blocking IPv4 TCP connection with equal send and receive time-outs.
class TcpSocket {
public:
    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Resolves host (IPv4 only, first address only) and connects; closes any earlier connection.
    void connect_to(const std::string& host, std::uint16_t port, std::uint32_t timeout_ms);
    // Returns only once every byte has been accepted by the socket.
    void send_all(const Bytes& data);
    // Exactly n bytes, or an Error; never a partial buffer.
    Bytes recv_exact(std::uint32_t n);
    // recv_exact into memory the caller owns, which need not be zeroed first.
    void recv_into(std::uint8_t* dest, std::uint32_t n);
    // Closes the handle if one is open; never throws.
    void close() noexcept;

private:
    platform::Socket sock = platform::invalid_socket;
};

}  // namespace tamber
