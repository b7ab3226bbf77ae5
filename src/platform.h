#pragma once

// The handful of Windows Sockets 2 calls the socket layer makes, behind one seam. Windows links
// platform_win32.cpp (the real WS2_32), Linux links platform_posix.cpp (a stand-in with
// Winsock's contracts), and tests may link a fake instead.

#include <cstdint>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace tamber::platform {

#ifdef _WIN32
using Socket = SOCKET;
// The wide resolver's record, so that a host name resolves exactly as Windows resolves it.
using AddressInfo = ADDRINFOW;
#else
using Socket = int;
using AddressInfo = addrinfo;
#endif

// All bits set, as Winsock's INVALID_SOCKET.
inline constexpr Socket invalid_socket = static_cast<Socket>(~static_cast<Socket>(0));
inline constexpr int socket_error = -1;

// Winsock's linger record: two u_short.
struct Linger {
    std::uint16_t l_onoff;
    std::uint16_t l_linger;
};

// What a failed bind of a local port says about trying another.
enum class BindFailure {
    busy,         // the port is in use: the next one may be free
    refused,      // the system keeps this port for itself (Windows): the next one may be free
    not_allowed,  // this process may bind no reserved port at all (Linux without the right)
    other,
};

// Returns 0 once the library is usable, otherwise the start-up's own error number.
int wsa_startup(std::uint16_t version);
void wsa_cleanup();
// The calling thread's last socket error number.
int wsa_get_last_error();

// `host` and `service` are UTF-8 text on Windows, bytes elsewhere.
int get_addr_info(const char* host, const char* service, const AddressInfo* hints,
                  AddressInfo** result);
void free_addr_info(AddressInfo* list);
Socket open_socket(int family, int type, int protocol);
// Options as Winsock takes them: SO_RCVTIMEO and SO_SNDTIMEO as a 4-byte count of
// milliseconds, SO_LINGER as a Linger.
int set_socket_option(Socket s, int level, int name, const void* value, int length);
// Binds to a local address; 0 on success, otherwise socket_error.
int bind_socket(Socket s, const sockaddr* address, int length);
BindFailure bind_failure(int error);
int connect_socket(Socket s, const sockaddr* address, int length);
// Whether a failed connect's error number says that the local port it was bound to is still
// paired with this peer from an earlier connection.
bool is_address_pair_in_use(int error);
// Returns the bytes sent (> 0) or socket_error.
int send_bytes(Socket s, const std::uint8_t* data, int length);
// Returns the bytes received (> 0), 0 after the peer's orderly close, or socket_error.
int recv_bytes(Socket s, std::uint8_t* data, int length);
int close_socket(Socket s);

std::uint32_t process_id();
// Reserved ports that this system keeps for other services, beyond the well-known ones.
std::vector<std::uint16_t> ports_kept_for_services();

}  // namespace tamber::platform
