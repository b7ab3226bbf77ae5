#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nfs.h"
#include "path.h"
#include "scripted_server.h"

namespace tamber {
namespace {

using test::cat;
using test::opaque;
using test::words;

using Names = std::vector<std::string>;

TEST(SplitNfsPath, CutsAtBothSeparatorsAndDropsEmptyAndDot) {
    const struct {
        std::string path;
        Names components;
    } cases[] = {
        {"", {}},
        {"/", {}},
        {"/a/b", {"a", "b"}},
        {"a/b", {"a", "b"}},
        {"\\a\\b", {"a", "b"}},
        {"/a\\b/c", {"a", "b", "c"}},
        {"//a///b//", {"a", "b"}},
        {"/./a/.", {"a"}},
        {"/a/../b", {"a", "..", "b"}},
        {"/.../.a", {"...", ".a"}},
        {"/ /a b ", {" ", "a b "}},
        {"/\xC3\xA9t\xE9/\xFF", {"\xC3\xA9t\xE9", "\xFF"}},
        {std::string("a\0b/c", 5), {std::string("a\0b", 3), "c"}},
        {"./.\\..", {".."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("path \"" + c.path + "\"");
        EXPECT_EQ(split_nfs_path(c.path), c.components);
    }
}

const RpcIdentity identity{"tamberline", 65534, 65534, {}};
const FileHandle root{{0xAA, 0xBB, 0xCC}};

// The handle the server gives for the i-th LOOKUP: i + 1 bytes of i.
Bytes handle(std::size_t i) { return Bytes(i + 1, static_cast<std::uint8_t>(i)); }

TEST(ResolvePath, LooksUpEveryComponentFromTheLastHandle) {
    const struct {
        std::string path;
        Names sent;
    } cases[] = {
        {"", {}},
        {"/", {}},
        {"/./\\.", {}},
        {"a/b/", {"a", "b"}},
        {"a\\b", {"a", "b"}},
        {"/../ /\xC3\xA9", {"..", " ", "\xC3\xA9"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("path \"" + c.path + "\"");
        std::vector<test::Step> steps;
        for (std::size_t i = 0; i < c.sent.size(); ++i) {
            steps.push_back(test::reply(cat({words({0}), opaque(handle(i)), words({0, 0})})));
        }
        test::ScriptedServer server(steps);
        NfsClient client("127.0.0.1", server.port(), identity);
        const FileHandle got = resolve_path(client, root, c.path);
        EXPECT_EQ(got.bytes, c.sent.empty() ? root.bytes : handle(c.sent.size() - 1));

        const auto calls = server.calls();
        ASSERT_EQ(calls.size(), c.sent.size());
        for (std::size_t i = 0; i < calls.size(); ++i) {
            SCOPED_TRACE("LOOKUP " + std::to_string(i));
            const test::RpcCall call = test::parse_call(calls[i]);
            EXPECT_EQ(call.proc, 3U);
            EXPECT_EQ(call.args,
                      cat({opaque(i == 0 ? root.bytes : handle(i - 1)), opaque(c.sent[i])}));
        }
    }
}

TEST(ResolvePath, StopsAtTheFirstFailingLookup) {
    test::ScriptedServer server({test::reply(cat({words({0}), opaque(handle(0)), words({0, 0})})),
                                 test::reply(words({2})),
                                 test::reply(cat({words({0}), opaque(handle(2)), words({0, 0})}))});
    NfsClient client("127.0.0.1", server.port(), identity);
    EXPECT_EQ(test::error_text([&] { resolve_path(client, root, "/x/y/z"); }), "NFS LOOKUP failed");
    const auto calls = server.calls();
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(test::parse_call(calls[0]).args, cat({opaque(root.bytes), opaque(std::string("x"))}));
    EXPECT_EQ(test::parse_call(calls[1]).args, cat({opaque(handle(0)), opaque(std::string("y"))}));
}

}  // namespace
}  // namespace tamber
