#include "scripted_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include "error.h"
#include "xdr.h"

#ifndef _WIN32
#include <netinet/in.h>
#include <unistd.h>
#include <cerrno>
#endif

namespace tamber::test {
namespace {

using platform::Socket;

// The listening side, which the client-only platform layer does not offer.
#ifdef _WIN32
using SockLen = int;
constexpr int send_flags = 0;
int last_error() { return WSAGetLastError(); }
void close_raw(Socket s) { closesocket(s); }
#else
using SockLen = socklen_t;
constexpr int send_flags = MSG_NOSIGNAL;  // a client that has gone must not raise SIGPIPE
int last_error() { return errno; }
void close_raw(Socket s) { ::close(s); }
#endif

// Keeps the socket library started for the whole test program, so that a client may also connect
// while no server lives (Winsock refuses every call before its start-up).
class SocketEnvironment : public ::testing::Environment {
public:
    void SetUp() override { system.emplace(); }
    void TearDown() override { system.reset(); }

private:
    std::optional<SocketSystem> system;
};

[[maybe_unused]] ::testing::Environment* const socket_environment =
    ::testing::AddGlobalTestEnvironment(new SocketEnvironment);

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Appends up to n bytes; false when the peer closed or failed first.
bool recv_append(Socket s, Bytes& out, std::size_t n) {
    char buf[4096];
    while (n > 0) {
        const int got =
            static_cast<int>(::recv(s, buf, static_cast<int>(n < sizeof buf ? n : sizeof buf), 0));
        if (got <= 0)
            return false;
        out.insert(out.end(), buf, buf + got);
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// One whole record, or what of it arrived before the peer closed.
Bytes recv_record(Socket s) {
    Bytes record;
    std::uint32_t mark = 0;
    while ((mark & 0x80000000U) == 0 && recv_append(s, record, 4)) {
        const Bytes word(record.end() - 4, record.end());
        mark = XdrReader(word).u32();
        if (!recv_append(s, record, mark & 0x7FFFFFFFU))
            break;
    }
    return record;
}

}  // namespace

Bytes words(std::initializer_list<std::uint32_t> values) {
    Bytes out;
    for (const std::uint32_t v : values) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes opaque(const Bytes& body) {
    const std::uint32_t n = static_cast<std::uint32_t>(body.size());
    return cat({words({n}), body, Bytes(xdr_pad_count(n), 0)});
}

Bytes opaque(const std::string& text) { return opaque(Bytes(text.begin(), text.end())); }

Bytes fragment(const Bytes& body, bool last) {
    const std::uint32_t n = static_cast<std::uint32_t>(body.size());
    return cat({words({last ? (n | 0x80000000U) : n}), body});
}

Bytes reply_message(std::uint32_t call_xid, const Bytes& results, const ReplyHeader& h) {
    return cat({words({call_xid + h.xid_delta, h.msg_type, h.reply_stat, h.verf_flavor}),
                opaque(h.verf_body), words({h.accept_stat}), results});
}

RpcCall parse_call(const Bytes& record) {
    Bytes m;
    XdrReader marks(record);
    for (std::uint32_t mark = 0; (mark & 0x80000000U) == 0;) {
        mark = marks.u32();
        const Bytes body =
            marks.fixed_opaque(mark & 0x7FFFFFFFU);  // a call's fragments are whole words
        m.insert(m.end(), body.begin(), body.end());
    }
    XdrReader r(m);
    RpcCall c;
    for (std::uint32_t* field :
         {&c.xid, &c.msg_type, &c.rpc_vers, &c.prog, &c.vers, &c.proc, &c.cred_flavor}) {
        *field = r.u32();
    }
    const Bytes cred = r.opaque();
    if (c.cred_flavor == 1) {
        XdrReader cr(cred);
        c.stamp = cr.u32();
        c.machinename = cr.str();
        c.uid = cr.u32();
        c.gid = cr.u32();
        for (std::uint32_t n = cr.u32(); n > 0; --n) c.gids.push_back(cr.u32());
    }
    c.verf_flavor = r.u32();
    c.verf_body = r.opaque();
    c.args.assign(m.begin() + r.position(), m.end());
    return c;
}

std::string credential(const RpcCall& call) {
    std::string text =
        call.machinename + " " + std::to_string(call.uid) + " " + std::to_string(call.gid);
    for (const std::uint32_t g : call.gids) text += " " + std::to_string(g);
    return text;
}

std::string error_text(const std::function<void()>& run) {
    try {
        run();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

Step reply(Bytes results, ReplyHeader header) {
    return respond([results = std::move(results), header = std::move(header)](const Bytes& record) {
        return fragment(reply_message(parse_call(record).xid, results, header));
    });
}

Step respond(std::function<Bytes(const Bytes& record)> make) {
    return Step{std::nullopt, std::move(make), false};
}

Step raw(Bytes bytes) {
    return respond([bytes = std::move(bytes)](const Bytes&) { return bytes; });
}

Step silent() { return Step{std::nullopt, nullptr, true}; }

Step close_after(std::size_t n) { return Step{n, nullptr, false}; }

ScriptedServer::ScriptedServer(std::vector<Step> steps, std::uint16_t port)
    : script(std::move(steps)) {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener == platform::invalid_socket)
        throw Error(format_error("socket", last_error()));
#ifndef _WIN32
    // The next test binds port 111 again while connections of this one may linger in TIME_WAIT.
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    sockaddr_in a = loopback(port);
    SockLen len = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        const int err = last_error();
        close_raw(listener);
        throw Error(format_error("listen", err));
    }
    bound_port = ntohs(a.sin_port);
    thread = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    // A connection of our own wakes the thread from accept, on every platform alike.
    const Socket wake = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(bound_port);
    ::connect(wake, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    thread.join();
    close_raw(wake);
    close_raw(listener);
}

std::vector<Bytes> ScriptedServer::calls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

bool ScriptedServer::wait_done(int seconds) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(seconds),
                            [this] { return steps_done >= script.size(); });
}

void ScriptedServer::serve() {
    for (;;) {
        const Socket conn = ::accept(listener, nullptr, nullptr);
        std::unique_lock<std::mutex> lock(mutex);
        if (stopping || conn == platform::invalid_socket) {
            if (conn != platform::invalid_socket)
                close_raw(conn);
            return;
        }
        if (steps_done < script.size()) {
            lock.unlock();
            run_step(conn, script[steps_done]);
            lock.lock();
            ++steps_done;
            changed.notify_all();
        }
        close_raw(conn);
    }
}

void ScriptedServer::run_step(Socket conn, const Step& step) {
    Bytes got;
    if (step.read_limit) {
        recv_append(conn, got, *step.read_limit);
    } else {
        got = recv_record(conn);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        received.push_back(got);
    }
    Bytes out;
    try {
        if (step.respond)
            out = step.respond(got);
    } catch (const std::exception&) {
        return;  // a call the responder cannot read gets no answer
    }
    for (std::size_t sent = 0; sent < out.size();) {
        const int n =
            static_cast<int>(::send(conn, reinterpret_cast<const char*>(out.data()) + sent,
                                    static_cast<int>(out.size() - sent), send_flags));
        if (n <= 0)
            return;  // the client has gone
        sent += static_cast<std::size_t>(n);
    }
    for (Bytes sink; step.hold && recv_append(conn, sink, 4096);) sink.clear();
}

}  // namespace tamber::test
