#include <gtest/gtest.h>

#include <string>

#include "mount.h"
#include "scripted_server.h"

namespace tamber {
namespace {

using test::cat;
using test::words;

Bytes pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(0xA0 + i);
    return b;
}

TEST(DecodeMntResult, ReturnsTheHandleOrTheRefusal) {
    const struct {
        const char* what;
        Bytes results;
        const char* error;
        Bytes handle;
    } cases[] = {
        {"status 13", words({13}), "mountd rejected export with status EACCES", {}},
        {"status 1", words({1}), "mountd rejected export with status nonzero", {}},
        {"status 2", words({2, 0}), "mountd rejected export with status nonzero", {}},
        {"status 10004", words({10004}), "mountd rejected export with status nonzero", {}},
        {"empty handle", words({0, 0}), "(no error)", {}},
        {"100-byte handle and flavors", cat({words({0, 100}), pattern(100), words({1, 1})}),
         "(no error)", pattern(100)},
        {"32-byte handle and junk", cat({words({0, 32}), pattern(32), words({0xDEADBEEF, 7})}),
         "(no error)", pattern(32)},
        {"30-byte handle without fill",
         cat({words({0, 30}), pattern(30)}),
         "truncated XDR stream",
         {}},
        {"no handle length", words({0}), "truncated XDR stream", {}},
        {"nothing", {}, "truncated XDR stream", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FileHandle fh;
        EXPECT_EQ(test::error_text([&] { fh = decode_mnt_result(XdrReader(c.results)); }), c.error);
        EXPECT_EQ(fh.bytes, c.handle);
    }
}

struct MountRun {
    std::string error;
    FileHandle handle;
    std::vector<Bytes> portmap_calls, mount_calls;
};

MountRun run_mount(const std::string& export_path, const RpcIdentity& id, Bytes mnt_results) {
    test::ScriptedServer mountd({test::reply(std::move(mnt_results))});
    test::ScriptedServer portmapper({test::reply(words({mountd.port()}))}, 111);
    MountRun r;
    r.error = test::error_text([&] { r.handle = mount_export("127.0.0.1", export_path, id); });
    r.portmap_calls = portmapper.calls();
    r.mount_calls = mountd.calls();
    return r;
}

TEST(MountExport, SendsMntToThePortThePortmapperGives) {
    const RpcIdentity caller{"client-7", 1000, 100, {4, 5}};
    const struct {
        const char* what;
        std::string export_path;
        Bytes args;
        Bytes handle;
    } cases[] = {
        {"slash", "/", {0, 0, 0, 1, 0x2F, 0, 0, 0}, pattern(32)},
        {"4 bytes, no fill", "/abc", {0, 0, 0, 4, 0x2F, 0x61, 0x62, 0x63}, pattern(100)},
        {"empty", "", {0, 0, 0, 0}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const MountRun r =
            run_mount(c.export_path, caller, cat({words({0}), test::opaque(c.handle)}));
        EXPECT_EQ(r.error, "(no error)");
        EXPECT_EQ(r.handle.bytes, c.handle);
        ASSERT_EQ(r.portmap_calls.size(), 1U);
        ASSERT_EQ(r.mount_calls.size(), 1U);

        const test::RpcCall pm = test::parse_call(r.portmap_calls[0]);
        EXPECT_EQ(pm.args, words({100005, 3, 6, 0}));
        EXPECT_EQ(test::credential(pm), "tamberline 65534 65534");

        const test::RpcCall mnt = test::parse_call(r.mount_calls[0]);
        EXPECT_EQ(mnt.prog, 100005U);
        EXPECT_EQ(mnt.vers, 3U);
        EXPECT_EQ(mnt.proc, 1U);
        EXPECT_EQ(mnt.args, c.args);
        EXPECT_EQ(test::credential(mnt), "client-7 1000 100 4 5");
    }
}

TEST(MountExport, ReportsTheRefusalOfTheMountDaemon) {
    const RpcIdentity id{"tamberline", 65534, 65534, {}};
    EXPECT_EQ(run_mount("/x", id, words({13})).error, "mountd rejected export with status EACCES");
    EXPECT_EQ(run_mount("/x", id, words({2})).error, "mountd rejected export with status nonzero");
}

}  // namespace
}  // namespace tamber
