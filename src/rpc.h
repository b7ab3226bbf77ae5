#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bytes.h"
#include "socket.h"
#include "xdr.h"

namespace tamber {

// The AUTH_UNIX credential contents; encoded as they stand, without the RFC's size limits.
struct RpcIdentity {
    std::string machinename;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::vector<std::uint32_t> gids;
};

// A reply record as it was received, and the offset in it where the procedure's results begin;
// they are decoded in place, so that large results are never copied.
struct RpcReply {
    Bytes record;
    std::uint32_t results_offset = 0;

    // A reader at the results; it borrows `record`.
    XdrReader results() const { return XdrReader(record, results_offset); }
};

// One ONC RPC version 2 call per TCP connection, to one host, port, program and version.
class RpcClient {
public:
    // Seeds the transaction id from the clock; connects to nothing yet.
    RpcClient(const std::string& host, std::uint16_t port, std::uint32_t prog, std::uint32_t vers);
    RpcClient(const std::string& host, std::uint16_t port, std::uint32_t prog, std::uint32_t vers,
              std::uint32_t seed);

    // Sends one call on a fresh connection and returns the reply of an accepted, successful call.
    // The reply is received into `storage`'s memory (its contents are overwritten): a caller that
    // makes many calls hands back the last reply's record, and the next reply lands there
    // without an allocation or zeroing.
    RpcReply call(std::uint32_t proc, const Bytes& args, const RpcIdentity& identity,
                  Bytes storage = {});
    // The call message, without record mark.
    Bytes make_call(std::uint32_t proc, const Bytes& args, const RpcIdentity& identity,
                    std::uint32_t xid) const;
    // Reads one record into `storage`'s memory: fragment bodies joined until the one with the
    // last-fragment bit. Bytes are zeroed only where the record outgrows the storage's size.
    static Bytes read_record(TcpSocket& sock, Bytes storage = {});

    // Transaction id of the last call made (the seed before the first).
    std::uint32_t last_xid() const { return xid; }

private:
    std::string host;
    std::uint16_t port;
    std::uint32_t prog;
    std::uint32_t vers;
    std::uint32_t xid;
};

// Checks a reply message against the xid sent; returns where its results begin.
std::uint32_t rpc_reply_results(const Bytes& reply, std::uint32_t xid);

}  // namespace tamber
