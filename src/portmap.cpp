#include "portmap.h"

#include "error.h"
#include "rpc.h"
#include "xdr.h"

namespace tamber {
namespace {

constexpr std::uint16_t portmap_port = 111;
constexpr std::uint32_t portmap_prog = 100000;
constexpr std::uint32_t portmap_vers = 2;
constexpr std::uint32_t proc_getport = 3;
constexpr std::uint32_t ipproto_tcp = 6;

}  // namespace

std::uint16_t decode_getport_result(XdrReader results) {
    const std::uint32_t port = results.u32();
    if (port == 0 || port > 65535) {
        throw Error("portmapper returned no TCP port");
    }
    return static_cast<std::uint16_t>(port);
}

std::uint16_t portmap_get_tcp_port(const std::string& host, std::uint32_t prog,
                                   std::uint32_t vers) {
    RpcIdentity identity;
    identity.machinename = "tamberline";
    identity.uid = 65534;
    identity.gid = 65534;

    RpcClient client(host, portmap_port, portmap_prog, portmap_vers);
    XdrWriter args;
    args.u32(prog);
    args.u32(vers);
    args.u32(ipproto_tcp);
    args.u32(0);
    const RpcReply reply = client.call(proc_getport, args.data(), identity);
    return decode_getport_result(reply.results());
}

}  // namespace tamber
