#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bytes.h"
#include "socket.h"

namespace tamber {

// The AUTH_UNIX credential contents; encoded as they stand, without the RFC's size limits.
struct RpcIdentity {
    std::string machinename;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::vector<std::uint32_t> gids;
};

// One ONC RPC version 2 call per TCP connection, to one host, port, program and version.
class RpcClient {
public:
    // Seeds the transaction id from the clock; connects to nothing yet.
    RpcClient(const std::string& host, std::uint16_t port, std::uint32_t prog, std::uint32_t vers);
    RpcClient(const std::string& host, std::uint16_t port, std::uint32_t prog, std::uint32_t vers,
              std::uint32_t seed);

    // Sends one call on a fresh connection and returns the results of an accepted, successful
    // reply, still encoded.
    Bytes call(std::uint32_t proc, const Bytes& args, const RpcIdentity& identity);
    // As call, but leaves the whole reply in `reply` (reusing its storage) and returns the
    // offset of the results in it, so that large results are never copied.
    std::uint32_t call_into(std::uint32_t proc, const Bytes& args, const RpcIdentity& identity,
                            Bytes& reply);
    // The call message, without record mark.
    Bytes make_call(std::uint32_t proc, const Bytes& args, const RpcIdentity& identity,
                    std::uint32_t xid) const;
    // Reads one record: fragment bodies joined until the one with the last-fragment bit.
    static Bytes read_record(TcpSocket& sock);
    // read_record into `record`, whose storage is reused: bytes are zeroed only where the
    // record grows past the buffer's earlier size.
    static void read_record_into(TcpSocket& sock, Bytes& record);

    // Transaction id of the last call made (the seed before the first).
    std::uint32_t last_xid() const { return xid; }

private:
    std::string host;
    std::uint16_t port;
    std::uint32_t prog;
    std::uint32_t vers;
    std::uint32_t xid;
};

// Checks a reply message against the xid sent and returns its results.
Bytes rpc_reply_results(const Bytes& reply, std::uint32_t xid);
// The same checks; returns where the results begin in `reply`.
std::uint32_t rpc_reply_results_offset(const Bytes& reply, std::uint32_t xid);

}  // namespace tamber
