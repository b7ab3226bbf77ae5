// The socket layer over the real platform calls, against peers on loopback.

#include <gtest/gtest.h>

#include <string>

#include "error.h"
#include "scripted_server.h"
#include "socket.h"

namespace tamber {
namespace {

using test::error_text;

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0 && text.size() > prefix.size();
}

TEST(TcpSocket, ConnectToAClosedPortFails) {
    std::uint16_t port = 0;
    { port = test::ScriptedServer({}).port(); }  // a port that was free a moment ago
    const std::string message =
        error_text([&] { TcpSocket().connect_to("127.0.0.1", port, 8000); });
    EXPECT_TRUE(starts_with(message, "connect failed with error ")) << message;
}

TEST(TcpSocket, UnresolvableNameIsReportedUnchanged) {
    // The suite runs in a network namespace of its own, so this asks no outside resolver.
    EXPECT_EQ(error_text([] { TcpSocket().connect_to("No Such Host.invalid", 111, 8000); }),
              "could not resolve host No Such Host.invalid");
}

TEST(TcpSocket, SendToAResetPeerFailsWithoutEndingTheProcess) {
    test::ScriptedServer server({test::close_after(0)});
    TcpSocket s;
    s.connect_to("127.0.0.1", server.port(), 8000);
    ASSERT_TRUE(server.wait_done());
    const Bytes chunk(1 << 16, 0x42);
    const std::string message = error_text([&] {
        for (int i = 0; i < 200; ++i) s.send_all(chunk);
    });
    EXPECT_TRUE(starts_with(message, "send failed with error ")) << message;
}

TEST(TcpSocket, PeerClosingBeforeTheLastByteGivesTheRecvError) {
    test::ScriptedServer server({test::respond([](const Bytes&) { return Bytes{1, 2, 3}; })});
    TcpSocket s;
    s.connect_to("127.0.0.1", server.port(), 8000);
    s.send_all(test::fragment(Bytes(4, 0)));
    const std::string message = error_text([&] { s.recv_exact(4); });
#ifdef _WIN32
    EXPECT_TRUE(starts_with(message, "recv failed with error ")) << message;
#else
    EXPECT_EQ(message, "recv failed with error 0") << "a close reads as error 0, not a stale errno";
#endif
}

}  // namespace
}  // namespace tamber
