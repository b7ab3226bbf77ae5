#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "error.h"
#include "fake_platform.h"
#include "socket.h"

namespace tamber {
namespace {

using Calls = std::vector<std::string>;

class FakeSocket : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    static fake::Net& net() { return fake::net(); }

    static std::string message_of(void (*action)()) {
        try {
            action();
        } catch (const Error& e) {
            return e.what();
        }
        return "(no error)";
    }
};

TEST_F(FakeSocket, StartupFailureCarriesItsOwnCodeAndSkipsCleanup) {
    net().startup_result = 10091;
    net().last_error = 42;  // must not be what is reported
    EXPECT_EQ(message_of([] { SocketSystem s; }), "WSAStartup failed with error 10091");
    EXPECT_EQ(net().calls, Calls({"WSAStartup"}));
}

TEST_F(FakeSocket, StartupAndCleanupBracketTheGuard) {
    { SocketSystem s; }
    EXPECT_EQ(net().calls, Calls({"WSAStartup", "WSACleanup"}));
}

TEST_F(FakeSocket, ConnectMakesTheCallsInOrderAndClosesAbortively) {
    {
        TcpSocket s;
        s.connect_to("server", 2049, 8000);
    }
    EXPECT_EQ(net().calls, Calls({"getaddrinfo 2049 family 2 type 1 flags 0", "socket",
                                  "setsockopt SO_RCVTIMEO", "setsockopt SO_SNDTIMEO", "connect",
                                  "freeaddrinfo", "setsockopt SO_LINGER", "closesocket"}));
    ASSERT_EQ(net().options.size(), 3U);
    EXPECT_EQ(net().options[2].value, 1U << 16) << "linger on with a zero time";
    EXPECT_EQ(net().sockets_open, 0);
}

TEST_F(FakeSocket, TimeoutIsCutToWholeSecondsAndAtLeastOne) {
    const struct {
        std::uint32_t given, set;
    } cases[] = {{8000, 8000}, {2500, 2000}, {1999, 1000}, {999, 1000}, {0, 1000}, {1000, 1000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.given));
        fake::reset();
        TcpSocket s;
        s.connect_to("h", 1, c.given);
        ASSERT_GE(net().options.size(), 2U);
        EXPECT_EQ(net().options[0].name, SO_RCVTIMEO);
        EXPECT_EQ(net().options[0].value, c.set);
        EXPECT_EQ(net().options[1].name, SO_SNDTIMEO);
        EXPECT_EQ(net().options[1].value, c.set);
    }
}

TEST_F(FakeSocket, UnresolvedHostCreatesNoSocket) {
    net().resolve_fails = true;
    EXPECT_EQ(message_of([] { TcpSocket().connect_to("No Such Host", 1, 8000); }),
              "could not resolve host No Such Host");
    EXPECT_EQ(net().calls.size(), 1U);
}

TEST_F(FakeSocket, SocketFailureFreesTheListBeforeReadingTheError) {
    net().socket_error = 10047;
    EXPECT_EQ(message_of([] { TcpSocket().connect_to("h", 1, 8000); }),
              "socket failed with error 10047");
    EXPECT_EQ(Calls(net().calls.begin() + 1, net().calls.end()),
              Calls({"socket", "freeaddrinfo", "WSAGetLastError"}));
}

TEST_F(FakeSocket, ConnectFailureReadsTheErrorThenCloses) {
    net().connect_error = 10061;
    EXPECT_EQ(message_of([] { TcpSocket().connect_to("h", 1, 8000); }),
              "connect failed with error 10061");
    const Calls tail(net().calls.end() - 4, net().calls.end());
    EXPECT_EQ(tail,
              Calls({"freeaddrinfo", "WSAGetLastError", "setsockopt SO_LINGER", "closesocket"}));
    EXPECT_EQ(net().sockets_open, 0);
}

TEST_F(FakeSocket, ConnectOnAConnectedSocketClosesTheOldOneFirst) {
    TcpSocket s;
    s.connect_to("h", 1, 8000);
    net().calls.clear();
    s.connect_to("h", 2, 8000);
    ASSERT_GE(net().calls.size(), 3U);
    EXPECT_EQ(net().calls[1], "closesocket");
    EXPECT_EQ(net().calls[2], "getaddrinfo 2 family 2 type 1 flags 0");
    EXPECT_EQ(net().sockets_open, 1);
}

TEST_F(FakeSocket, CloseTwiceClosesOnce) {
    TcpSocket s;
    s.connect_to("h", 1, 8000);
    s.close();
    s.close();
    int closes = 0;
    for (const auto& c : net().calls) closes += c == "closesocket";
    EXPECT_EQ(closes, 1);
}

TEST_F(FakeSocket, ShortSendsContinueWhereTheyStopped) {
    net().send_chunk = 1;
    TcpSocket s;
    s.connect_to("h", 1, 8000);
    const Bytes data{1, 2, 3, 4, 5};
    s.send_all(data);
    EXPECT_EQ(net().sent, data);
    int sends = 0;
    for (const auto& c : net().calls) sends += c == "send";
    EXPECT_EQ(sends, 5);
}

TEST_F(FakeSocket, EmptySendAndZeroReceiveMakeNoCall) {
    TcpSocket s;
    s.connect_to("h", 1, 8000);
    net().calls.clear();
    s.send_all(Bytes());
    EXPECT_TRUE(s.recv_exact(0).empty());
    EXPECT_TRUE(net().calls.empty());
}

TEST_F(FakeSocket, FailedSendReportsItsNumberAndLeavesTheSocketOpen) {
    net().send_error = -3;
    TcpSocket s;
    s.connect_to("h", 1, 8000);
    try {
        s.send_all(Bytes{1});
        FAIL() << "send_all succeeded";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "send failed with error -3");
    }
    EXPECT_EQ(net().sockets_open, 1);
}

TEST_F(FakeSocket, ReceivesOfOneByteAreJoinedInOrder) {
    net().inbound = {9, 8, 7, 6, 5, 4};
    net().recv_chunk = 1;
    TcpSocket s;
    s.connect_to("h", 1, 8000);
    EXPECT_EQ(s.recv_exact(6), Bytes({9, 8, 7, 6, 5, 4}));
}

TEST_F(FakeSocket, PeerClosingEarlyGivesTheRecvErrorAndNoData) {
    const struct {
        int error;
        const char* message;
    } cases[] = {{0, "recv failed with error 0"}, {10060, "recv failed with error 10060"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        fake::reset();
        net().inbound = {1, 2, 3};
        net().recv_error = c.error;
        TcpSocket s;
        s.connect_to("h", 1, 8000);
        try {
            s.recv_exact(4);
            ADD_FAILURE() << "recv_exact succeeded";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(FormatError, PrintsTheNumberInSignedDecimal) {
    EXPECT_EQ(format_error("recv", -1), "recv failed with error -1");
    EXPECT_EQ(format_error("connect", 10061), "connect failed with error 10061");
    EXPECT_EQ(format_error("send", -2147483647 - 1), "send failed with error -2147483648");
}

}  // namespace
}  // namespace tamber
