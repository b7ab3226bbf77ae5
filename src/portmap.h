#pragma once

#include <cstdint>
#include <string>

#include "xdr.h"

namespace tamber {

// Asks the portmapper at TCP 111 for the TCP port of prog/vers; always 1 to 65535.
std::uint16_t portmap_get_tcp_port(const std::string& host, std::uint32_t prog, std::uint32_t vers);

// The port of a GETPORT result.
std::uint16_t decode_getport_result(XdrReader results);

}  // namespace tamber
