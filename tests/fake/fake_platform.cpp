#include "fake_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#ifndef _WIN32
#include <netinet/in.h>
#endif

namespace tamber::fake {

Net& net() {
    static Net state;
    return state;
}

void reset() { net() = Net(); }

}  // namespace tamber::fake

namespace tamber::platform {

using fake::net;

int wsa_startup(std::uint16_t /*version*/) {
    net().calls.push_back("WSAStartup");
    // The whole-program test sets the start-up failure from outside.
    if (const char* forced = std::getenv("TAMBER_FAKE_STARTUP_ERROR")) {
        return std::atoi(forced);
    }
    return net().startup_result;
}

void wsa_cleanup() { net().calls.push_back("WSACleanup"); }

int wsa_get_last_error() {
    net().calls.push_back("WSAGetLastError");
    return net().last_error;
}

int get_addr_info(const char* /*host*/, const char* service, const AddressInfo* hints,
                  AddressInfo** result) {
    net().calls.push_back(std::string("getaddrinfo ") + service + " family " +
                          std::to_string(hints->ai_family) + " type " +
                          std::to_string(hints->ai_socktype) + " flags " +
                          std::to_string(hints->ai_flags));
    if (net().resolve_fails) {
        *result = nullptr;
        return 1;
    }
    auto* list = new AddressInfo{};
    auto* address = new sockaddr_in{};
    address->sin_family = AF_INET;
    list->ai_family = AF_INET;
    list->ai_socktype = SOCK_STREAM;
    list->ai_addr = reinterpret_cast<sockaddr*>(address);
    list->ai_addrlen = sizeof *address;
    *result = list;
    return 0;
}

void free_addr_info(AddressInfo* list) {
    net().calls.push_back("freeaddrinfo");
    delete reinterpret_cast<sockaddr_in*>(list->ai_addr);
    delete list;
}

Socket open_socket(int /*family*/, int /*type*/, int /*protocol*/) {
    net().calls.push_back("socket");
    if (net().socket_error != 0) {
        net().last_error = net().socket_error;
        return invalid_socket;
    }
    ++net().sockets_open;
    return net().next_socket++;
}

int set_socket_option(Socket /*s*/, int level, int name, const void* value, int length) {
    if (level != SOL_SOCKET) {
        return socket_error;
    }
    fake::Option option{name, 0};
    if (name == SO_LINGER && length == sizeof(Linger)) {
        const auto* l = static_cast<const Linger*>(value);
        option.value = static_cast<std::uint32_t>(l->l_onoff) << 16 | l->l_linger;
    } else if (length == sizeof(std::uint32_t)) {
        std::memcpy(&option.value, value, sizeof option.value);
    }
    net().options.push_back(option);
    net().calls.push_back(name == SO_RCVTIMEO   ? "setsockopt SO_RCVTIMEO"
                          : name == SO_SNDTIMEO ? "setsockopt SO_SNDTIMEO"
                          : name == SO_LINGER   ? "setsockopt SO_LINGER"
                                                : "setsockopt other");
    return 0;
}

int bind_socket(Socket /*s*/, const sockaddr* address, int length) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    const bool wildcard =
        length == sizeof(sockaddr_in) && in->sin_family == AF_INET && in->sin_addr.s_addr == 0;
    std::uint8_t port_bytes[2];
    std::memcpy(port_bytes, &in->sin_port, sizeof port_bytes);
    const auto port = static_cast<std::uint16_t>(port_bytes[0] << 8 | port_bytes[1]);
    net().calls.push_back(wildcard ? "bind " + std::to_string(port) : "bind not the wildcard");
    const auto listed = net().bind_errors.find(port);
    const int error = listed != net().bind_errors.end() ? listed->second : net().bind_error;
    if (error != 0) {
        net().last_error = error;
        return socket_error;
    }
    return 0;
}

BindFailure bind_failure(int error) {
    switch (error) {
        case fake::busy:
            return BindFailure::busy;
        case fake::refused:
            return BindFailure::refused;
        case fake::not_allowed:
            return BindFailure::not_allowed;
        default:
            return BindFailure::other;
    }
}

int connect_socket(Socket /*s*/, const sockaddr* /*address*/, int /*length*/) {
    net().calls.push_back("connect");
    const std::size_t n = net().connects++;
    const int error =
        n < net().connect_errors.size() ? net().connect_errors[n] : net().connect_error;
    if (error != 0) {
        net().last_error = error;
        return socket_error;
    }
    return 0;
}

bool is_address_pair_in_use(int error) { return error == fake::pair_in_use; }

int send_bytes(Socket /*s*/, const std::uint8_t* data, int length) {
    net().calls.push_back("send");
    if (net().send_error != 0) {
        net().last_error = net().send_error;
        return socket_error;
    }
    const std::size_t n = std::min(static_cast<std::size_t>(length), net().send_chunk);
    net().sent.insert(net().sent.end(), data, data + n);
    return static_cast<int>(n);
}

int recv_bytes(Socket /*s*/, std::uint8_t* data, int length) {
    net().calls.push_back("recv");
    const std::size_t left = net().inbound.size() - net().inbound_pos;
    if (left == 0) {
        net().last_error = net().recv_error;
        return net().recv_error != 0 ? socket_error : 0;
    }
    const std::size_t n = std::min({static_cast<std::size_t>(length), net().recv_chunk, left});
    std::memcpy(data, net().inbound.data() + net().inbound_pos, n);
    net().inbound_pos += n;
    return static_cast<int>(n);
}

int close_socket(Socket /*s*/) {
    net().calls.push_back("closesocket");
    --net().sockets_open;
    return 0;
}

std::uint32_t process_id() { return net().pid; }

std::vector<std::uint16_t> ports_kept_for_services() { return net().kept; }

}  // namespace tamber::platform
