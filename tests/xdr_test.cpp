#include <gtest/gtest.h>

#include <string>

#include "error.h"
#include "xdr.h"

namespace tamber {
namespace {

Bytes written(void (*fill)(XdrWriter&)) {
    XdrWriter w;
    fill(w);
    return w.data();
}

TEST(XdrWriter, EncodesItemsBigEndianWithZeroPad) {
    const struct {
        const char* what;
        Bytes (*make)();
        Bytes expected;
    } cases[] = {
        {"empty string", [] { return written([](XdrWriter& w) { w.str(""); }); }, {0, 0, 0, 0}},
        {"abc",
         [] { return written([](XdrWriter& w) { w.str("abc"); }); },
         {0, 0, 0, 3, 0x61, 0x62, 0x63, 0}},
        {"string with a zero byte",
         [] { return written([](XdrWriter& w) { w.str(std::string("a\0b", 3)); }); },
         {0, 0, 0, 3, 0x61, 0, 0x62, 0}},
        {"empty opaque",
         [] { return written([](XdrWriter& w) { w.opaque(Bytes()); }); },
         {0, 0, 0, 0}},
        {"opaque of 4",
         [] { return written([](XdrWriter& w) {
                  w.opaque(Bytes{1, 2, 3, 4});
              }); },
         {0, 0, 0, 4, 1, 2, 3, 4}},
        {"opaque of 5",
         [] { return written([](XdrWriter& w) {
                  w.opaque(Bytes{1, 2, 3, 4, 5});
              }); },
         {0, 0, 0, 5, 1, 2, 3, 4, 5, 0, 0, 0}},
        {"fixed opaque of 8",
         [] {
             return written([](XdrWriter& w) {
                 const Bytes b{1, 2, 3, 4, 5, 6, 7, 8};
                 w.fixed_opaque(b.data(), 8);
             });
         },
         {1, 2, 3, 4, 5, 6, 7, 8}},
        {"fixed opaque of nothing",
         [] { return written([](XdrWriter& w) { w.fixed_opaque(nullptr, 0); }); },
         {}},
        {"u32", [] { return written([](XdrWriter& w) { w.u32(0x80000001U); }); }, {0x80, 0, 0, 1}},
        {"u64",
         [] { return written([](XdrWriter& w) { w.u64(0x0000000100000002ULL); }); },
         {0, 0, 0, 1, 0, 0, 0, 2}},
        {"pads",
         [] {
             return written([](XdrWriter& w) {
                 w.pad(1);
                 w.pad(2);
                 w.pad(3);
                 w.pad(4);
             });
         },
         {0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.make(), c.expected);
    }
}

TEST(XdrReader, DecodesWhatTheProtocolTablesSay) {
    const Bytes big{0x80, 0, 0, 1};
    EXPECT_EQ(XdrReader(big).u32(), 0x80000001U);

    const Bytes hyper{0, 0, 0, 1, 0, 0, 0, 2};
    XdrReader h(hyper);
    EXPECT_EQ(h.u64(), 0x0000000100000002ULL);
    EXPECT_TRUE(h.eof());

    const Bytes a{0, 0, 0, 1, 0x41, 0xFF, 0xFF, 0xFF};
    XdrReader ra(a);
    EXPECT_EQ(ra.str(), "A") << "pad values are not examined";
    EXPECT_TRUE(ra.eof());
    EXPECT_EQ(ra.remaining(), 0U);

    const Bytes zero{0, 0, 0, 3, 0x61, 0, 0x62, 0};
    EXPECT_EQ(XdrReader(zero).str(), std::string("a\0b", 3));

    const Bytes op{0, 0, 0, 5, 1, 2, 3, 4, 5, 0, 0, 0, 9, 9, 9, 9};
    XdrReader ro(op);
    EXPECT_EQ(ro.opaque(), Bytes({1, 2, 3, 4, 5}));
    EXPECT_EQ(ro.remaining(), 4U);
    EXPECT_FALSE(ro.eof());

    const Bytes empty;
    XdrReader re(empty);
    EXPECT_TRUE(re.eof());
    EXPECT_EQ(re.remaining(), 0U);
}

TEST(XdrReader, EveryReadPastTheEndIsTruncated) {
    const struct {
        const char* what;
        Bytes data;
        void (*read)(XdrReader&);
        std::uint32_t pos_after;
    } cases[] = {
        {"u32 of 3 bytes", {1, 2, 3}, [](XdrReader& r) { r.u32(); }, 0},
        {"u64 of 7 bytes keeps its high word",
         {0, 0, 0, 1, 0, 0, 0},
         [](XdrReader& r) { r.u64(); },
         4},
        {"string without its pad",
         {0, 0, 0, 5, 0x68, 0x65, 0x6C, 0x6C, 0x6F},
         [](XdrReader& r) { r.str(); },
         9},
        {"opaque without its pad",
         {0, 0, 0, 5, 1, 2, 3, 4, 5, 0},
         [](XdrReader& r) { r.opaque(); },
         9},
        {"length of 0xFFFFFFFF",
         {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4},
         [](XdrReader& r) { r.opaque(); },
         4},
        {"string length of 0xFFFFFFFD",
         {0xFF, 0xFF, 0xFF, 0xFD, 1, 2, 3, 4},
         [](XdrReader& r) { r.str(); },
         4},
        {"fixed opaque of all that is left, not a multiple of 4",
         {1, 2, 3, 4, 5, 6},
         [](XdrReader& r) { r.fixed_opaque(r.remaining()); },
         6},
        {"require more than there is", {1, 2}, [](XdrReader& r) { r.require(3); }, 0},
        {"require the largest count", {1, 2}, [](XdrReader& r) { r.require(0xFFFFFFFFU); }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        XdrReader r(c.data);
        try {
            c.read(r);
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), "truncated XDR stream");
        }
        EXPECT_EQ(r.position(), c.pos_after);
    }
}

TEST(XdrReader, StartsAtTheGivenOffset) {
    const Bytes b{0, 0, 0, 1, 0, 0, 0, 2};
    const struct {
        std::uint32_t start;
        const char* outcome;  // the next word, or the error
    } cases[] = {{0, "1"}, {4, "2"}, {8, "truncated XDR stream"}, {9, "truncated XDR stream"}};
    for (const auto& c : cases) {
        SCOPED_TRACE("start " + std::to_string(c.start));
        std::string outcome;
        try {
            XdrReader r(b, c.start);
            EXPECT_EQ(r.position(), c.start);
            outcome = std::to_string(r.u32());
        } catch (const Error& e) {
            outcome = e.what();
        }
        EXPECT_EQ(outcome, c.outcome);
    }
}

TEST(XdrReader, EveryCutOfAMessageIsTruncated) {
    XdrWriter w;
    w.u32(7);
    w.str("hello");
    w.u64(1);
    const Bytes& msg = w.data();
    for (std::size_t cut = 0; cut < msg.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const Bytes part(msg.begin(), msg.begin() + static_cast<std::ptrdiff_t>(cut));
        XdrReader r(part);
        EXPECT_THROW(
            {
                r.u32();
                r.str();
                r.u64();
            },
            Error);
    }
    XdrReader whole(msg);
    EXPECT_EQ(whole.u32(), 7U);
    EXPECT_EQ(whole.str(), "hello");
    EXPECT_EQ(whole.u64(), 1U);
    EXPECT_TRUE(whole.eof());
}

}  // namespace
}  // namespace tamber
