#include <gtest/gtest.h>

#include <string>

#include "portmap.h"
#include "scripted_server.h"

namespace tamber {
namespace {

using test::words;

TEST(DecodeGetportResult, AcceptsOnlyPortsFrom1To65535) {
    const struct {
        const char* what;
        Bytes results;
        const char* error;
        std::uint16_t port;
    } cases[] = {
        {"1", words({1}), "(no error)", 1},
        {"65535", words({65535}), "(no error)", 65535},
        {"2049 and a second word", words({2049, 7}), "(no error)", 2049},
        {"0", words({0}), "portmapper returned no TCP port", 0},
        {"65536", words({65536}), "portmapper returned no TCP port", 0},
        {"0xFFFFFFFF", words({0xFFFFFFFF}), "portmapper returned no TCP port", 0},
        {"nothing", {}, "truncated XDR stream", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::uint16_t port = 0;
        EXPECT_EQ(test::error_text([&] { port = decode_getport_result(XdrReader(c.results)); }),
                  c.error);
        EXPECT_EQ(port, c.port);
    }
}

TEST(PortmapGetTcpPort, AsksPort111WithTheFixedCredential) {
    test::ScriptedServer portmapper({test::reply(words({635})), test::reply(words({2049, 0}))},
                                    111);
    EXPECT_EQ(portmap_get_tcp_port("127.0.0.1", 100005, 3), 635);
    EXPECT_EQ(portmap_get_tcp_port("127.0.0.1", 100003, 3), 2049);

    const auto calls = portmapper.calls();
    ASSERT_EQ(calls.size(), 2U);
    const Bytes args[] = {words({100005, 3, 6, 0}), words({100003, 3, 6, 0})};
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE("query " + std::to_string(i));
        const test::RpcCall c = test::parse_call(calls[i]);
        EXPECT_EQ(c.prog, 100000U);
        EXPECT_EQ(c.vers, 2U);
        EXPECT_EQ(c.proc, 3U);
        EXPECT_EQ(c.cred_flavor, 1U);
        EXPECT_EQ(test::credential(c), "tamberline 65534 65534");
        EXPECT_EQ(c.args, args[i]);
    }
    // The NFS query differs only in xid, stamp and the program asked for.
    ASSERT_EQ(calls[0].size(), 92U);
    ASSERT_EQ(calls[1].size(), 92U);
    for (std::size_t at = 0; at < 92; ++at) {
        if ((at >= 4 && at < 8) || (at >= 36 && at < 40) || (at >= 76 && at < 80))
            continue;
        SCOPED_TRACE("offset " + std::to_string(at));
        EXPECT_EQ(calls[0][at], calls[1][at]);
    }
    EXPECT_EQ(Bytes(calls[0].begin() + 76, calls[0].begin() + 80), Bytes({0x00, 0x01, 0x86, 0xA5}));
    EXPECT_EQ(Bytes(calls[1].begin() + 76, calls[1].begin() + 80), Bytes({0x00, 0x01, 0x86, 0xA3}));
}

TEST(PortmapGetTcpPort, PassesRefusalsOn) {
    test::ReplyHeader prog_mismatch;
    prog_mismatch.accept_stat = 2;
    const struct {
        const char* what;
        test::Step step;
        const char* error;
    } cases[] = {
        {"not registered", test::reply(words({0})), "portmapper returned no TCP port"},
        {"above 65535", test::reply(words({65536})), "portmapper returned no TCP port"},
        {"empty result", test::reply({}), "truncated XDR stream"},
        {"version 2 not served", test::reply(words({3, 4}), prog_mismatch),
         "RPC call rejected by server"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScriptedServer portmapper({c.step}, 111);
        EXPECT_EQ(test::error_text([] { portmap_get_tcp_port("127.0.0.1", 100005, 3); }), c.error);
        EXPECT_EQ(portmapper.calls().size(), 1U);
    }
}

}  // namespace
}  // namespace tamber
