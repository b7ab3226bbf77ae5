#pragma once

// A scripted stand-in for the platform calls, linked instead of the real one, so that tests can
// drive the socket layer's failure paths and see every call it makes.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform.h"

namespace tamber::fake {

// Error numbers of the fake's own, with the meaning bind_failure and is_address_pair_in_use give
// them.
inline constexpr int busy = 98;
inline constexpr int refused = 10013;
inline constexpr int not_allowed = 13;
inline constexpr int other_failure = 22;
inline constexpr int pair_in_use = 99;

struct Option {
    int name;
    std::uint32_t value;  // milliseconds for the time-outs, on/off << 16 | time for SO_LINGER
};

struct Net {
    int startup_result = 0;
    bool resolve_fails = false;
    int socket_error = 0;             // non-zero: socket() fails with it
    int connect_error = 0;            // non-zero: connect() fails with it
    std::vector<int> connect_errors;  // errors of the first connects, in order (0: success)
    std::uint32_t pid = 0;
    std::vector<std::uint16_t> kept;           // ports_kept_for_services()
    std::map<std::uint16_t, int> bind_errors;  // the error a bind of that port fails with
    int bind_error = 0;                        // non-zero: every other bind fails with it
    std::size_t send_chunk = 1 << 20;          // most bytes one send accepts
    int send_error = 0;                        // non-zero: the next send fails with it
    std::vector<std::uint8_t> inbound;         // what the peer sends before it closes
    std::size_t recv_chunk = 1 << 20;          // most bytes one recv returns
    int recv_error = 0;  // non-zero: recv fails with it once inbound is used up

    int last_error = 0;
    std::size_t inbound_pos = 0;
    std::vector<std::uint8_t> sent;
    std::vector<std::string> calls;  // platform call names, in order
    std::vector<Option> options;
    std::size_t connects = 0;
    int sockets_open = 0;
    platform::Socket next_socket = 3;
};

// The fake's state; reset() at the start of every test.
Net& net();
void reset();

}  // namespace tamber::fake
