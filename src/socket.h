#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bytes.h"
#include "platform.h"

namespace tamber {

// "<operation> failed with error <number>", the number in signed decimal.
std::string format_error(const std::string& operation, std::int32_t number);

// The socket time-out actually set for a requested one: cut down to whole seconds, at least one.
std::uint32_t socket_timeout_ms(std::uint32_t requested_ms);

// The reserved local ports (665-1023) a run's connections are bound to, for the many servers that
// take calls only from such ports. Each connection takes the next port down, wrapping at the
// bottom, so that consecutive connections never share a local port.
class ReservedPorts {
public:
    // The process id picks the first port, so that two runs at once rarely meet; `kept` are
    // ports of other services, skipped like the well-known ones.
    ReservedPorts(std::uint32_t process_id, const std::vector<std::uint16_t>& kept);

    // Binds `sock` to the next reserved port that takes it and returns that port; or returns 0
    // and leaves the socket to the system, which then gives it an ordinary port.
    std::uint16_t bind(platform::Socket sock);

private:
    std::vector<std::uint16_t> ports;  // those to use, highest first
    std::size_t next = 0;
    unsigned refusals = 0;  // in a row
    bool allowed = true;    // false once the system has said no for the rest of the run
};

// Brackets every use of the socket library: starts it on construction, stops it on destruction.
// It also holds the run's reserved ports.
class SocketSystem {
public:
    SocketSystem();
    ~SocketSystem();
    SocketSystem(const SocketSystem&) = delete;
    SocketSystem& operator=(const SocketSystem&) = delete;

    // The reserved ports of the socket system running in this process, or none: connections
    // made without one come from ordinary ports.
    static ReservedPorts* reserved_ports();

private:
    ReservedPorts reserved;
};

// One blocking IPv4 TCP connection with equal send and receive time-outs.
class TcpSocket {
public:
    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Resolves host (IPv4 only, first address only) and connects from a reserved local port where
    // the system allows it; closes any earlier connection.
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
