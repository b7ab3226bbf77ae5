#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <set>
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

// What connections made under a running socket system asked of the fake: new sockets, binds and
// connects, in order.
Calls port_calls(const Calls& calls) {
    Calls kept;
    for (const std::string& c : calls) {
        if (c == "socket" || c == "connect" || c.rfind("bind", 0) == 0) {
            kept.push_back(c);
        }
    }
    return kept;
}

Calls binds_down_from(int port, int count) {
    Calls binds;
    for (int i = 0; i < count; ++i) {
        binds.push_back("bind " + std::to_string(port - i));
    }
    return binds;
}

Calls joined(std::initializer_list<Calls> parts) {
    Calls all;
    for (const Calls& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

TEST_F(FakeSocket, ReservedPortChoice) {
    const Calls ordinary{"socket", "connect"};
    const struct {
        const char* name;
        std::uint32_t pid;
        std::vector<std::uint16_t> kept;
        std::map<std::uint16_t, int> bind_errors;
        int bind_error;
        std::vector<int> connect_errors;
        int connections;
        Calls calls;
        const char* error;  // of the last connection, or nullptr
    } cases[] = {
        {"consecutive connections take the next port down",
         0,
         {},
         {},
         0,
         {},
         3,
         {"socket", "bind 1023", "connect", "socket", "bind 1022", "connect", "socket", "bind 1021",
          "connect"},
         nullptr},
        {"the process id spreads the first port; the range wraps at 665",
         503,
         {},
         {},
         0,
         {},
         2,
         {"socket", "bind 665", "connect", "socket", "bind 1023", "connect"},
         nullptr},
        {"ports of other services are skipped, and those the system lists",
         482,
         {994},
         {},
         0,
         {},
         3,
         {"socket", "bind 996", "connect", "socket", "bind 991", "connect", "socket", "bind 988",
          "connect"},
         nullptr},
        {"a busy port: the next one",
         0,
         {},
         {{1023, fake::busy}},
         0,
         {},
         2,
         {"socket", "bind 1023", "bind 1022", "connect", "socket", "bind 1021", "connect"},
         nullptr},
        {"not allowed: ordinary ports for the rest of the run",
         0,
         {},
         {},
         fake::not_allowed,
         {},
         2,
         {"socket", "bind 1023", "connect", "socket", "connect"},
         nullptr},
        {"refused one by one: skipped",
         0,
         {},
         {{1023, fake::refused}},
         0,
         {},
         1,
         {"socket", "bind 1023", "bind 1022", "connect"},
         nullptr},
        {"16 refusals in a row: ordinary ports for the rest of the run",
         0,
         {},
         {},
         fake::refused,
         {},
         2,
         joined({{"socket"}, binds_down_from(1023, 16), {"connect"}, ordinary}),
         nullptr},
        {"another bind failure: an ordinary port for this connection only",
         0,
         {},
         {{1023, fake::other_failure}},
         0,
         {},
         2,
         {"socket", "bind 1023", "connect", "socket", "bind 1022", "connect"},
         nullptr},
        {"the pair still in use: a new socket on the next port",
         0,
         {},
         {},
         0,
         {fake::pair_in_use},
         1,
         {"socket", "bind 1023", "connect", "socket", "bind 1022", "connect"},
         nullptr},
        {"the pair in use nine times: then an ordinary port",
         0,
         {},
         {},
         0,
         std::vector<int>(9, fake::pair_in_use),
         1,
         joined({{"socket", "bind 1023", "connect", "socket", "bind 1022", "connect",
                  "socket", "bind 1021", "connect", "socket", "bind 1020", "connect",
                  "socket", "bind 1019", "connect", "socket", "bind 1018", "connect",
                  "socket", "bind 1017", "connect", "socket", "bind 1016", "connect",
                  "socket", "bind 1015", "connect"},
                 ordinary}),
         nullptr},
        {"a refused connection from a reserved port is reported as before",
         0,
         {},
         {},
         0,
         {10061},
         1,
         {"socket", "bind 1023", "connect"},
         "connect failed with error 10061"},
        {"the pair in use on an ordinary port is reported",
         0,
         {},
         {},
         fake::not_allowed,
         {fake::pair_in_use},
         1,
         {"socket", "bind 1023", "connect"},
         "connect failed with error 99"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        net().pid = c.pid;
        net().kept = c.kept;
        net().bind_errors = c.bind_errors;
        net().bind_error = c.bind_error;
        net().connect_errors = c.connect_errors;
        std::string error;
        {
            SocketSystem system;
            for (int i = 0; i < c.connections; ++i) {
                try {
                    TcpSocket().connect_to("h", 2049, 8000);
                } catch (const Error& e) {
                    error = e.what();
                }
            }
        }
        EXPECT_EQ(port_calls(net().calls), c.calls);
        EXPECT_EQ(error, c.error == nullptr ? "" : c.error);
        EXPECT_EQ(net().sockets_open, 0);
    }
}

TEST_F(FakeSocket, WholeRangeBusyTriesEachPortOnceThenAnOrdinaryOne) {
    net().bind_error = fake::busy;
    {
        SocketSystem system;
        TcpSocket().connect_to("h", 2049, 8000);
    }
    const Calls calls = port_calls(net().calls);
    ASSERT_GE(calls.size(), 2U);
    const std::set<std::string> binds(calls.begin() + 1, calls.end() - 1);
    const std::set<std::string> services{"bind 749", "bind 750", "bind 774", "bind 783",
                                         "bind 853", "bind 860", "bind 873", "bind 902",
                                         "bind 912", "bind 921", "bind 989", "bind 990",
                                         "bind 992", "bind 993", "bind 995"};
    EXPECT_EQ(calls.size(), 2U + 359U - services.size());
    EXPECT_EQ(binds.size(), calls.size() - 2) << "no port twice";
    EXPECT_EQ(calls[1], "bind 1023");
    EXPECT_EQ(binds.count("bind 665"), 1U);
    for (const std::string& service : services) {
        EXPECT_EQ(binds.count(service), 0U) << service;
    }
    EXPECT_EQ(calls.back(), "connect");
}

TEST(FormatError, PrintsTheNumberInSignedDecimal) {
    EXPECT_EQ(format_error("recv", -1), "recv failed with error -1");
    EXPECT_EQ(format_error("connect", 10061), "connect failed with error 10061");
    EXPECT_EQ(format_error("send", -2147483647 - 1), "send failed with error -2147483648");
}

}  // namespace
}  // namespace tamber
