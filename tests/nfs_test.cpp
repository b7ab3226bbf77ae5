#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "nfs.h"
#include "scripted_server.h"

namespace tamber {
namespace {

using test::cat;
using test::opaque;
using test::words;

const Bytes no_attrs = words({0});

// A post_op_attr led by `follows`, its 84 bytes of fattr3 all ones.
Bytes attrs(std::uint32_t follows) { return cat({words({follows}), Bytes(84, 0xFF)}); }

Bytes u64(std::uint64_t v) {
    return words({static_cast<std::uint32_t>(v >> 32), static_cast<std::uint32_t>(v)});
}

Bytes read_ok(std::uint32_t count, std::uint32_t eof, const Bytes& data,
              const Bytes& attr = no_attrs) {
    return cat({words({0}), attr, words({count, eof}), opaque(data)});
}

struct Entry {
    std::uint64_t fileid;
    std::string name;
    std::uint64_t cookie;
};

Bytes page(const Bytes& verifier, const std::vector<Entry>& entries, std::uint32_t eof,
           const Bytes& attr = no_attrs) {
    Bytes out = cat({words({0}), attr, verifier});
    for (const Entry& e : entries)
        out = cat({out, words({1}), u64(e.fileid), opaque(e.name), u64(e.cookie)});
    return cat({out, words({0, eof})});
}

const RpcIdentity identity{"nfs-host", 7, 8, {9}};
const FileHandle file{{0xF1, 0xF2, 0xF3, 0xF4, 0xF5}};

Bytes joined(const FileContents& contents) {
    Bytes out;
    for (const Bytes& piece : contents.pieces()) out = cat({out, piece});
    return out;
}

std::vector<test::Step> replies(const std::vector<Bytes>& results) {
    std::vector<test::Step> steps;
    for (const Bytes& r : results) steps.push_back(test::reply(r));
    return steps;
}

TEST(NfsClient, ResultsCutShortAreTruncated) {
    const Bytes h = opaque(Bytes(8, 0x11));
    const struct {
        const char* what;
        char op;  // LOOKUP, READ or READDIR
        Bytes results;
    } cases[] = {
        // clang-format off
        {"one post_op_attr of two", 'L', cat({words({0}), h, no_attrs})},
        {"second post_op_attr cut", 'L', cat({words({0}), h, attrs(1), words({1}), Bytes(80, 0)})},
        {"inside the handle", 'L', words({0, 8, 1})},
        {"inside the attributes", 'R', cat({words({0, 1}), Bytes(80, 0)})},
        {"inside an entry", 'D', cat({words({0, 0}), Bytes(8, 0), words({1, 0, 5, 1})})},
        {"no eof word", 'D', cat({words({0, 0}), Bytes(8, 0), words({0})})},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScriptedServer server({test::reply(c.results)});
        NfsClient client("127.0.0.1", server.port(), identity);
        EXPECT_EQ(test::error_text([&] {
                      if (c.op == 'L') {
                          client.lookup(file, "x");
                      } else if (c.op == 'R') {
                          client.read_all(file);
                      } else {
                          client.readdir(file);
                      }
                  }),
                  "truncated XDR stream");
    }
}

TEST(NfsClient, NonZeroStatusGivesTheFixedMessage) {
    const std::uint32_t statuses[] = {2, 13, 10006};
    std::vector<Bytes> results;
    for (const std::uint32_t s : statuses) {
        for (int op = 0; op < 4; ++op) results.push_back(words({s}));
    }
    test::ScriptedServer server(replies(results));
    NfsClient client("127.0.0.1", server.port(), identity);
    for (const std::uint32_t s : statuses) {
        SCOPED_TRACE("status " + std::to_string(s));
        EXPECT_EQ(test::error_text([&] { client.lookup(file, "x"); }), "NFS LOOKUP failed");
        bool eof = true;
        EXPECT_EQ(test::error_text([&] { client.read(file, 0, 10, &eof); }), "NFS READ failed");
        EXPECT_TRUE(eof);
        EXPECT_EQ(test::error_text([&] { client.read_all(file); }), "NFS READ failed");
        EXPECT_EQ(test::error_text([&] { client.readdir(file); }), "NFS READDIR failed");
    }
    EXPECT_EQ(server.calls().size(), results.size());
}

TEST(NfsClient, LookupSendsHandleAndNameAndReturnsTheHandle) {
    const struct {
        const char* what;
        FileHandle dir;
        std::string name;
        Bytes args;
        Bytes handle;
    } cases[] = {
        // clang-format off
        {"empty name", {{1, 2, 3}}, "", {0, 0, 0, 3, 1, 2, 3, 0, 0, 0, 0, 0}, Bytes(65, 0x42)},
        {"empty handles", {{}}, "abcde", {0, 0, 0, 0, 0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e', 0, 0, 0},
         {}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Object attributes present, directory attributes absent, then bytes to ignore.
        test::ScriptedServer server(
            {test::reply(cat({words({0}), opaque(c.handle), attrs(1), no_attrs, words({9, 9})}))});
        NfsClient client("127.0.0.1", server.port(), identity);
        EXPECT_EQ(client.lookup(c.dir, c.name).bytes, c.handle);
        ASSERT_EQ(server.calls().size(), 1U);
        const test::RpcCall call = test::parse_call(server.calls()[0]);
        EXPECT_EQ(call.prog, 100003U);
        EXPECT_EQ(call.vers, 3U);
        EXPECT_EQ(call.proc, 3U);
        EXPECT_EQ(call.args, c.args);
        EXPECT_EQ(test::credential(call), "nfs-host 7 8 9");
    }
}

TEST(NfsClient, ReadReturnsTheDataAsItCame) {
    // The count word says 100, 40 bytes come; eof word 5 is true, 0 is false.
    test::ScriptedServer server(replies({read_ok(100, 5, Bytes(40, 0x77), attrs(1)),
                                         read_ok(4, 0, {1, 2, 3, 4}), read_ok(0, 0, {})}));
    NfsClient client("127.0.0.1", server.port(), identity);
    bool eof = false;
    EXPECT_EQ(client.read(file, 123456789012ULL, 500, &eof), Bytes(40, 0x77));
    EXPECT_TRUE(eof);
    EXPECT_EQ(client.read(file, 0, 4, &eof), Bytes({1, 2, 3, 4}));
    EXPECT_FALSE(eof);
    eof = true;
    EXPECT_EQ(client.read(file, 4, 4, &eof), Bytes());
    EXPECT_FALSE(eof);
    ASSERT_EQ(server.calls().size(), 3U);
    const test::RpcCall call = test::parse_call(server.calls()[0]);
    EXPECT_EQ(call.proc, 6U);
    EXPECT_EQ(
        call.args,
        cat({words({5}), {0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0, 0, 0}, words({0x1C, 0xBE991A14, 500})}));
}

TEST(NfsClient, ReadAllFollowsTheReplies) {
    const struct {
        const char* what;
        std::vector<Bytes> results;
        std::vector<std::uint64_t> offsets;
        const char* error;
        Bytes contents;
    } cases[] = {
        // clang-format off
        {"empty file with eof", {read_ok(0, 1, {})}, {0}, "(no error)", {}},
        {"empty file without eof", {read_ok(0, 0, {})}, {0}, "(no error)", {}},
        {"a full piece, then none with eof",
         {read_ok(32768, 0, Bytes(32768, 1)), read_ok(0, 1, {})}, {0, 32768}, "(no error)",
         Bytes(32768, 1)},
        {"a short read is followed, attributes of 88 bytes",
         {read_ok(1000, 0, Bytes(1000, 1), attrs(1)), read_ok(500, 1, Bytes(500, 2), attrs(7))},
         {0, 1000}, "(no error)", cat({Bytes(1000, 1), Bytes(500, 2)})},
        {"offset moves by the data, not the count word",
         {read_ok(100, 0, Bytes(40, 1)), read_ok(0, 1, {})}, {0, 40}, "(no error)", Bytes(40, 1)},
        {"data with eof", {read_ok(12, 1, Bytes(12, 3))}, {0}, "(no error)", Bytes(12, 3)},
        {"no data and no eof ends the file",
         {read_ok(8, 0, Bytes(8, 1)), read_ok(0, 0, {})}, {0, 8}, "(no error)", Bytes(8, 1)},
        {"a later failure discards everything",
         {read_ok(1000, 0, Bytes(1000, 1)), words({5})}, {0, 1000}, "NFS READ failed", {}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScriptedServer server(replies(c.results));
        NfsClient client("127.0.0.1", server.port(), identity);
        Bytes contents;
        EXPECT_EQ(test::error_text([&] { contents = joined(client.read_all(file)); }), c.error);
        EXPECT_EQ(contents, c.contents);
        const auto calls = server.calls();
        ASSERT_EQ(calls.size(), c.offsets.size());
        for (std::size_t i = 0; i < calls.size(); ++i) {
            SCOPED_TRACE("READ " + std::to_string(i));
            EXPECT_EQ(test::parse_call(calls[i]).args,
                      cat({opaque(file.bytes), u64(c.offsets[i]), words({32768})}));
        }
    }
}

// The file's byte at `at`, made up independently of the code under test.
std::uint8_t file_byte(std::size_t at) {
    return static_cast<std::uint8_t>((at * 131 + at / 251) ^ 0x5A);
}

Bytes file_bytes(std::size_t from, std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = file_byte(from + i);
    return b;
}

TEST(FileContents, FillsPiecesOfOneSize) {
    const struct {
        const char* what;
        std::vector<std::size_t> appends;
        std::vector<std::size_t> pieces;
    } cases[] = {
        {"nothing", {}, {}},
        {"an empty append", {0}, {}},
        {"one short of a piece", {3}, {3}},
        {"exactly a piece", {4}, {4}},
        {"one past a piece", {5}, {4, 1}},
        {"appends that straddle boundaries", {3, 3, 0, 6}, {4, 4, 4}},
        {"one append over three pieces", {1, 10}, {4, 4, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FileContents contents(4);
        std::size_t total = 0;
        for (const std::size_t n : c.appends) {
            const Bytes data = file_bytes(total, n);
            contents.append(data.data(), n);
            total += n;
        }
        EXPECT_EQ(contents.size(), total);
        std::vector<std::size_t> sizes;
        std::size_t at = 0;
        for (const Bytes& piece : contents.pieces()) {
            sizes.push_back(piece.size());
            EXPECT_EQ(piece.capacity(), 4U) << "reserved once, never grown";
            EXPECT_EQ(piece, file_bytes(at, piece.size())) << "piece at " << at;
            at += piece.size();
        }
        EXPECT_EQ(sizes, c.pieces);
    }
    EXPECT_EQ(test::error_text([] { FileContents(0); }), "file piece size of 0");
}

TEST(FileContents, KeepsAFilledPieceWhereItIs) {
    FileContents contents(8);
    const Bytes data = file_bytes(0, 20);
    contents.append(data.data(), 6);
    const std::uint8_t* first = contents.pieces()[0].data();
    contents.append(data.data() + 6, 14);
    EXPECT_EQ(contents.pieces()[0].data(), first);
}

// A post_op_attr carrying `size` in its size field, the other fields made up.
Bytes attrs_with_size(std::uint64_t size) {
    return cat({words({1, 1, 0644, 1, 65534, 65534}), u64(size), Bytes(56, 0xAB)});
}

TEST(ReadCursor, JoinsRepliesAcrossPieceBoundaries) {
    constexpr std::size_t piece = 64;
    const struct {
        const char* what;
        std::vector<std::size_t> replies;  // data lengths; the last carries eof
    } cases[] = {
        {"on a boundary, in straddling replies", {50, 30, 48}},
        {"one short of a boundary", {64, 63}},
        {"one past a boundary, a reply across two boundaries", {1, 100, 28}},
        {"one past a boundary, in replies of 1", {60, 1, 1, 1, 1, 1}},
        {"within the first piece", {17}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Bytes> results;
        std::size_t total = 0;
        for (std::size_t i = 0; i < c.replies.size(); ++i) {
            const std::uint32_t n = static_cast<std::uint32_t>(c.replies[i]);
            results.push_back(read_ok(n, i + 1 == c.replies.size() ? 1 : 0, file_bytes(total, n)));
            total += n;
        }
        test::ScriptedServer server(replies(results));
        NfsClient client("127.0.0.1", server.port(), identity);
        const FileContents contents = client.read_all(file, piece);
        EXPECT_EQ(server.calls().size(), c.replies.size());
        EXPECT_EQ(contents.size(), total);
        const std::vector<Bytes>& pieces = contents.pieces();
        ASSERT_EQ(pieces.size(), (total + piece - 1) / piece);
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            SCOPED_TRACE("piece " + std::to_string(i));
            EXPECT_EQ(pieces[i], file_bytes(i * piece, std::min(piece, total - i * piece)));
        }
    }
}

TEST(ReadCursor, StepsReportWhatArrived) {
    // Attributes absent, then present, then lying, then absent again.
    test::ScriptedServer server(replies(
        {read_ok(10, 0, file_bytes(0, 10)), read_ok(20, 0, file_bytes(10, 20), attrs_with_size(44)),
         read_ok(30, 0, file_bytes(30, 30), attrs_with_size(7)), read_ok(0, 0, {}, no_attrs)}));
    NfsClient client("127.0.0.1", server.port(), identity);
    ReadCursor cursor(client, file, 16);
    EXPECT_EQ(cursor.received(), 0U);
    EXPECT_EQ(cursor.size_hint(), std::nullopt);
    const struct {
        bool more;
        std::uint64_t received;
        std::optional<std::uint64_t> hint;
    } steps[] = {
        {true, 10, std::nullopt}, {true, 30, 44}, {true, 60, 7}, {false, 60, std::nullopt}};
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        EXPECT_EQ(cursor.step(), steps[i].more);
        EXPECT_EQ(cursor.received(), steps[i].received);
        EXPECT_EQ(cursor.size_hint(), steps[i].hint);
        ASSERT_EQ(server.calls().size(), i + 1);
        EXPECT_EQ(test::parse_call(server.calls()[i]).args,
                  cat({opaque(file.bytes), u64(offset), words({32768})}));
        offset = steps[i].received;
    }
    const FileContents contents = cursor.take();
    EXPECT_EQ(joined(contents), file_bytes(0, 60));
    EXPECT_EQ(contents.pieces().size(), 4U);
}

TEST(NfsClient, ReaddirPagesByCookieAndVerifier) {
    const Bytes v0(8, 0), v1{1, 2, 3, 4, 5, 6, 7, 8}, v2{9, 10, 11, 12, 13, 14, 15, 16},
        v3(8, 0xEE);
    const struct {
        const char* what;
        std::vector<Bytes> results;
        std::vector<std::pair<std::uint64_t, Bytes>> requests;  // cookie and verifier sent
        const char* error;
        std::vector<std::string> listing;  // "fileid name cookie"
    } cases[] = {
        // clang-format off
        {"empty listing", {page(v1, {}, 1)}, {{0, v0}}, "(no error)", {}},
        {"three pages in wire order",
         {page(v1, {{11, ".", 1}, {12, "..", 2}}, 0),
          page(v2, {{13, "a b", 0x100000003ULL}}, 0, attrs(1)),
          page(v3, {{0xFFFFFFFF00000001ULL, "a b", 9}}, 1, attrs(7))},
         {{0, v0}, {2, v1}, {0x100000003ULL, v2}}, "(no error)",
         {"11 . 1", "12 .. 2", "13 a b 4294967299", "18446744069414584321 a b 9"}},
        {"eof word 7 and bytes after it", {cat({page(v1, {{1, "x", 5}}, 7), words({0xDEAD})})},
         {{0, v0}}, "(no error)", {"1 x 5"}},
        {"failure on the third page",
         {page(v1, {{1, "a", 1}}, 0), page(v2, {{2, "b", 2}}, 0), words({2})},
         {{0, v0}, {1, v1}, {2, v2}}, "NFS READDIR failed", {}},
        {"empty page without eof", {page(v1, {}, 0), page(v1, {}, 0), page(v1, {}, 0)},
         {{0, v0}}, "NFS READDIR failed", {}},
        {"page 2 repeats the last cookie",
         {page(v1, {{1, "a", 10}}, 0), page(v2, {{2, "b", 10}}, 0), page(v3, {}, 1)},
         {{0, v0}, {10, v1}}, "NFS READDIR failed", {}},
        {"last cookie 0", {page(v1, {{1, "a", 0}}, 0), page(v2, {}, 1)},
         {{0, v0}}, "NFS READDIR failed", {}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScriptedServer server(replies(c.results));
        NfsClient client("127.0.0.1", server.port(), identity);
        std::vector<DirEntry> entries;
        EXPECT_EQ(test::error_text([&] { entries = client.readdir(file); }), c.error);
        std::vector<std::string> listing;
        for (const DirEntry& e : entries) {
            listing.push_back(std::to_string(e.fileid) + " " + e.name + " " +
                              std::to_string(e.cookie));
        }
        EXPECT_EQ(listing, c.listing);
        const auto calls = server.calls();
        ASSERT_EQ(calls.size(), c.requests.size());
        for (std::size_t i = 0; i < calls.size(); ++i) {
            SCOPED_TRACE("READDIR " + std::to_string(i));
            const test::RpcCall call = test::parse_call(calls[i]);
            EXPECT_EQ(call.proc, 16U);
            EXPECT_EQ(call.args, cat({opaque(file.bytes), u64(c.requests[i].first),
                                      c.requests[i].second, words({8192})}));
        }
    }
}

}  // namespace
}  // namespace tamber
