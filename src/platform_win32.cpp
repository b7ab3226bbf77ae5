#include "platform.h"
#include "utf16.h"

namespace tamber::platform {

int wsa_startup(std::uint16_t version) {
    WSADATA data;
    return WSAStartup(version, &data);
}

void wsa_cleanup() { WSACleanup(); }

int wsa_get_last_error() { return WSAGetLastError(); }

int get_addr_info(const char* host, const char* service, const AddressInfo* hints,
                  AddressInfo** result) {
    return GetAddrInfoW(utf16_from_utf8(host).c_str(), utf16_from_utf8(service).c_str(), hints,
                        result);
}

void free_addr_info(AddressInfo* list) { FreeAddrInfoW(list); }

Socket open_socket(int family, int type, int protocol) { return socket(family, type, protocol); }

int set_socket_option(Socket s, int level, int name, const void* value, int length) {
    return setsockopt(s, level, name, static_cast<const char*>(value), length);
}

int bind_socket(Socket s, const sockaddr* address, int length) { return bind(s, address, length); }

BindFailure bind_failure(int error) {
    switch (error) {
        case WSAEADDRINUSE:
            return BindFailure::busy;
        // Any program may bind a port below 1024; this one is excluded by the system (Hyper-V
        // and friends reserve ranges), or wine runs as a user that may not.
        case WSAEACCES:
            return BindFailure::refused;
        default:
            return BindFailure::other;
    }
}

int connect_socket(Socket s, const sockaddr* address, int length) {
    return connect(s, address, length);
}

// Windows says WSAEADDRINUSE; wine passes on Linux's EADDRNOTAVAIL as WSAEADDRNOTAVAIL.
bool is_address_pair_in_use(int error) {
    return error == WSAEADDRINUSE || error == WSAEADDRNOTAVAIL;
}

int send_bytes(Socket s, const std::uint8_t* data, int length) {
    return send(s, reinterpret_cast<const char*>(data), length, 0);
}

int recv_bytes(Socket s, std::uint8_t* data, int length) {
    return recv(s, reinterpret_cast<char*>(data), length, 0);
}

int close_socket(Socket s) { return closesocket(s); }

std::uint32_t process_id() { return GetCurrentProcessId(); }

std::vector<std::uint16_t> ports_kept_for_services() { return {}; }

}  // namespace tamber::platform
