#pragma once

// A loopback TCP server that plays an ONC RPC peer from a script: one step per connection, in the
// order the client connects. It listens before its constructor returns; nothing waits on time.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"
#include "platform.h"
#include "socket.h"

namespace tamber::test {

// For writing bytes out by hand: big-endian words, buffers joined, an XDR opaque or string (length
// word, bytes, zero fill), and a record-marking fragment (bit 31 of the mark flags the last one).
Bytes words(std::initializer_list<std::uint32_t> values);
Bytes cat(std::initializer_list<Bytes> parts);
Bytes opaque(const Bytes& body);
Bytes opaque(const std::string& text);
Bytes fragment(const Bytes& body, bool last = true);

// The defaults make an accepted, successful reply.
struct ReplyHeader {
    std::uint32_t xid_delta = 0;  // added to the echoed xid
    std::uint32_t msg_type = 1, reply_stat = 0, verf_flavor = 0;
    Bytes verf_body;
    std::uint32_t accept_stat = 0;
};
// The reply message, without mark, to the call with this xid.
Bytes reply_message(std::uint32_t call_xid, const Bytes& results, const ReplyHeader& header = {});

// A received call; the credential fields are filled for AUTH_UNIX (flavor 1).
struct RpcCall {
    std::uint32_t xid = 0, msg_type = 0, rpc_vers = 0, prog = 0, vers = 0, proc = 0;
    std::uint32_t cred_flavor = 0, stamp = 0, uid = 0, gid = 0;
    std::string machinename;
    std::vector<std::uint32_t> gids;
    std::uint32_t verf_flavor = 0;
    Bytes verf_body;
    Bytes args;  // everything after the verifier
};
// Decodes a received record, marks included; throws Error when it is cut short.
RpcCall parse_call(const Bytes& record);
// The AUTH_UNIX fields as text: machine name, uid, gid, then the groups, space-separated.
std::string credential(const RpcCall& call);

// The message of the Error that `run` throws, or "(no error)".
std::string error_text(const std::function<void()>& run);

// What the server does on one connection; it closes the connection afterwards.
struct Step {
    std::optional<std::size_t> read_limit;              // read this many bytes, not one record
    std::function<Bytes(const Bytes& record)> respond;  // what to send, unframed; empty: nothing
    bool hold = false;  // after sending, wait until the client closes
};
// One last fragment holding an accepted reply to the call's xid.
Step reply(Bytes results, ReplyHeader header = {});
Step respond(std::function<Bytes(const Bytes& record)> make);
// Sends `bytes` as they are, broken marks and all.
Step raw(Bytes bytes);
// Sends nothing until the client gives up.
Step silent();
// Reads n bytes of the call (0: none) and closes.
Step close_after(std::size_t n);

class ScriptedServer {
public:
    // Listens on 127.0.0.1 at `port`, or at one the system picks when it is 0. Connections beyond
    // the script are closed at once.
    explicit ScriptedServer(std::vector<Step> script, std::uint16_t port = 0);
    // Call only when no client is still talking to it.
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t port() const { return bound_port; }
    // The bytes received on each step so far, marks included. A step stores them before it
    // answers, so a client that has its answer finds them here.
    std::vector<Bytes> calls() const;
    // Waits at most `seconds` for every step to end; false if some did not.
    bool wait_done(int seconds = 20) const;

private:
    void serve();
    void run_step(platform::Socket conn, const Step& step);

    SocketSystem sockets;  // started before and stopped after every socket below
    std::vector<Step> script;
    platform::Socket listener = platform::invalid_socket;
    std::uint16_t bound_port = 0;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<Bytes> received;
    std::size_t steps_done = 0;
    bool stopping = false;
    std::thread thread;
};

}  // namespace tamber::test
