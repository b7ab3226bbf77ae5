#include "rpc.h"

#include <algorithm>
#include <ctime>
#include <limits>
#include <stdexcept>

#include "error.h"
#include "xdr.h"

namespace tamber {
namespace {

constexpr std::uint32_t msg_call = 0;
constexpr std::uint32_t msg_reply = 1;
constexpr std::uint32_t rpc_version = 2;
constexpr std::uint32_t auth_none = 0;
constexpr std::uint32_t auth_unix = 1;
constexpr std::uint32_t msg_accepted = 0;
constexpr std::uint32_t accept_success = 0;
constexpr std::uint32_t call_timeout_ms = 8000;

// Bit 31 of a record mark flags the last fragment; bits 0-30 are the fragment's length.
constexpr std::uint32_t last_fragment = 0x80000000U;
constexpr std::uint32_t fragment_length_mask = 0x7FFFFFFFU;
// A fragment is read in pieces so that memory follows the bytes that really arrive, not the
// length a header claims.
constexpr std::uint32_t receive_piece = 1U << 20;

std::uint32_t clock_seconds() { return static_cast<std::uint32_t>(std::time(nullptr)); }

void append(Bytes& dest, const Bytes& src) { dest.insert(dest.end(), src.begin(), src.end()); }

}  // namespace

RpcClient::RpcClient(const std::string& host, std::uint16_t port, std::uint32_t prog,
                     std::uint32_t vers)
    : RpcClient(host, port, prog, vers, clock_seconds()) {}

RpcClient::RpcClient(const std::string& host, std::uint16_t port, std::uint32_t prog,
                     std::uint32_t vers, std::uint32_t seed)
    : host(host), port(port), prog(prog), vers(vers), xid(seed) {}

Bytes RpcClient::make_call(std::uint32_t proc, const Bytes& args, const RpcIdentity& identity,
                           std::uint32_t call_xid) const {
    XdrWriter header;
    header.u32(call_xid);
    header.u32(msg_call);
    header.u32(rpc_version);
    header.u32(prog);
    header.u32(vers);
    header.u32(proc);

    XdrWriter cred;
    cred.u32(clock_seconds());
    cred.str(identity.machinename);
    cred.u32(identity.uid);
    cred.u32(identity.gid);
    cred.u32(static_cast<std::uint32_t>(identity.gids.size()));
    for (const std::uint32_t g : identity.gids) {
        cred.u32(g);
    }

    header.u32(auth_unix);
    header.opaque(cred.data());
    header.u32(auth_none);
    header.u32(0);
    Bytes message = header.take();
    append(message, args);
    return message;
}

Bytes RpcClient::read_record(TcpSocket& sock, Bytes record) {
    std::size_t used = 0;
    for (;;) {
        std::uint8_t mark_bytes[4];
        sock.recv_into(mark_bytes, 4);
        const std::uint32_t mark = static_cast<std::uint32_t>(mark_bytes[0]) << 24 |
                                   static_cast<std::uint32_t>(mark_bytes[1]) << 16 |
                                   static_cast<std::uint32_t>(mark_bytes[2]) << 8 |
                                   static_cast<std::uint32_t>(mark_bytes[3]);
        std::uint32_t left = mark & fragment_length_mask;
        while (left > 0) {
            const std::uint32_t piece = std::min(left, receive_piece);
            if (used > std::numeric_limits<std::uint32_t>::max() - piece) {
                throw std::length_error("RPC record longer than 4 GiB");
            }
            if (record.size() < used + piece) {
                record.resize(used + piece);
            }
            sock.recv_into(record.data() + used, piece);
            used += piece;
            left -= piece;
        }
        if ((mark & last_fragment) != 0) {
            record.resize(used);  // shrinking keeps the memory for the next record
            return record;
        }
    }
}

std::uint32_t rpc_reply_results(const Bytes& reply, std::uint32_t xid) {
    XdrReader r(reply);
    if (r.u32() != xid) {
        throw Error("RPC xid mismatch");
    }
    if (r.u32() != msg_reply) {
        throw Error("RPC reply was not REPLY");
    }
    if (r.u32() != msg_accepted) {
        throw Error("RPC message denied");
    }
    r.u32();  // verifier flavor
    r.opaque();
    if (r.u32() != accept_success) {
        throw Error("RPC call rejected by server");
    }
    const std::uint32_t start = r.position();
    // The results are one fixed-length opaque: their length must be a multiple of 4.
    const std::uint32_t rest = r.remaining();
    if (rest != 0) {
        r.fixed_opaque_view(rest);
    }
    return start;
}

RpcReply RpcClient::call(std::uint32_t proc, const Bytes& args, const RpcIdentity& identity,
                         Bytes storage) {
    ++xid;
    const std::uint32_t call_xid = xid;
    const Bytes message = make_call(proc, args, identity, call_xid);

    XdrWriter framing;
    framing.u32(static_cast<std::uint32_t>(message.size()) | last_fragment);
    Bytes record = framing.take();
    append(record, message);

    TcpSocket sock;
    sock.connect_to(host, port, call_timeout_ms);
    sock.send_all(record);
    RpcReply reply;
    reply.record = read_record(sock, std::move(storage));
    reply.results_offset = rpc_reply_results(reply.record, call_xid);
    sock.close();
    return reply;
}

}  // namespace tamber
