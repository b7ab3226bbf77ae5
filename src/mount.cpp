#include "mount.h"

#include "error.h"
#include "portmap.h"
#include "xdr.h"

namespace tamber {
namespace {

constexpr std::uint32_t mount_prog = 100005;
constexpr std::uint32_t mount_vers = 3;
constexpr std::uint32_t proc_mnt = 1;
constexpr std::uint32_t mnt3err_acces = 13;

}  // namespace

FileHandle decode_mnt_result(XdrReader results) {
    const std::uint32_t status = results.u32();
    if (status != 0) {
        throw Error(std::string("mountd rejected export with status ") +
                    (status == mnt3err_acces ? "EACCES" : "nonzero"));
    }
    return FileHandle{results.opaque()};
}

FileHandle mount_export(const std::string& host, const std::string& export_path,
                        const RpcIdentity& identity) {
    const std::uint16_t port = portmap_get_tcp_port(host, mount_prog, mount_vers);
    RpcClient client(host, port, mount_prog, mount_vers);
    XdrWriter args;
    args.str(export_path);
    const RpcReply reply = client.call(proc_mnt, args.data(), identity);
    return decode_mnt_result(reply.results());
}

}  // namespace tamber
