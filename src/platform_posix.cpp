// Winsock's contracts on top of POSIX sockets: start-up always succeeds, error numbers come
// from errno, and options arrive in Winsock's shapes and are translated here.

#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

#include "platform.h"

namespace tamber::platform {

int wsa_startup(std::uint16_t /*version*/) { return 0; }

void wsa_cleanup() {}

int wsa_get_last_error() { return errno; }

int get_addr_info(const char* host, const char* service, const AddressInfo* hints,
                  AddressInfo** result) {
    return ::getaddrinfo(host, service, hints, result);
}

void free_addr_info(AddressInfo* list) { ::freeaddrinfo(list); }

Socket open_socket(int family, int type, int protocol) { return ::socket(family, type, protocol); }

int set_socket_option(Socket s, int level, int name, const void* value, int length) {
    if (level == SOL_SOCKET && (name == SO_RCVTIMEO || name == SO_SNDTIMEO) &&
        length == sizeof(std::uint32_t)) {
        const std::uint32_t ms = *static_cast<const std::uint32_t*>(value);
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(ms / 1000U);
        tv.tv_usec = static_cast<suseconds_t>((ms % 1000U) * 1000U);
        return ::setsockopt(s, level, name, &tv, sizeof tv);
    }
    if (level == SOL_SOCKET && name == SO_LINGER && length == sizeof(Linger)) {
        // Linux takes two ints and refuses Winsock's two shorts with EINVAL.
        const Linger* in = static_cast<const Linger*>(value);
        linger out{};
        out.l_onoff = in->l_onoff;
        out.l_linger = in->l_linger;
        return ::setsockopt(s, level, name, &out, sizeof out);
    }
    return ::setsockopt(s, level, name, value, static_cast<socklen_t>(length));
}

int bind_socket(Socket s, const sockaddr* address, int length) {
    return ::bind(s, address, static_cast<socklen_t>(length));
}

BindFailure bind_failure(int error) {
    switch (error) {
        case EADDRINUSE:
            return BindFailure::busy;
        // Neither root nor CAP_NET_BIND_SERVICE: no port below ip_unprivileged_port_start.
        case EACCES:
        case EPERM:
            return BindFailure::not_allowed;
        default:
            return BindFailure::other;
    }
}

int connect_socket(Socket s, const sockaddr* address, int length) {
    return ::connect(s, address, static_cast<socklen_t>(length));
}

bool is_address_pair_in_use(int error) { return error == EADDRNOTAVAIL; }

int send_bytes(Socket s, const std::uint8_t* data, int length) {
    // A reset peer would raise SIGPIPE and end the process; Winsock reports an error instead.
    return static_cast<int>(::send(s, data, static_cast<std::size_t>(length), MSG_NOSIGNAL));
}

int recv_bytes(Socket s, std::uint8_t* data, int length) {
    // An orderly close returns 0 without touching errno; Winsock then reports error 0.
    errno = 0;
    return static_cast<int>(::recv(s, data, static_cast<std::size_t>(length), 0));
}

int close_socket(Socket s) { return ::close(s); }

std::uint32_t process_id() { return static_cast<std::uint32_t>(::getpid()); }

std::vector<std::uint16_t> ports_kept_for_services() {
    // One port a line, '#' to the end of a line a comment; what RPC programs on Linux skip.
    std::ifstream file("/etc/bindresvport.blacklist");
    std::vector<std::uint16_t> ports;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line.substr(0, line.find('#')));
        unsigned long port = 0;
        if (fields >> port && port > 0 && port <= 0xFFFFU) {
            ports.push_back(static_cast<std::uint16_t>(port));
        }
    }
    return ports;
}

}  // namespace tamber::platform
