// One libFuzzer target for every decoder of received bytes. The first input byte picks the
// decoder; the rest is what a server sent. A decoder may refuse bytes only with tamber::Error;
// anything else (other exceptions, sanitizer reports, broken invariants) is a finding.
// The seeds in corpus/ are replies of a real NFSv3 server captured on loopback, each behind its
// selector byte (the path seeds are typed by hand); run it with scripts/fuzz.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "error.h"
#include "mount.h"
#include "nfs.h"
#include "path.h"
#include "portmap.h"
#include "rpc.h"
#include "xdr.h"

namespace {

using tamber::Bytes;

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

// Big-endian word at `off`, or 0 past the end: used only to cross-check decoded values.
std::uint32_t word(const Bytes& b, std::size_t off) {
    if (off + 4 > b.size())
        return 0;
    return std::uint32_t{b[off]} << 24 | std::uint32_t{b[off + 1]} << 16 |
           std::uint32_t{b[off + 2]} << 8 | std::uint32_t{b[off + 3]};
}

bool same_at(const Bytes& whole, std::size_t off, const Bytes& part) {
    return off <= whole.size() && part.size() <= whole.size() - off &&
           (part.empty() || std::memcmp(whole.data() + off, part.data(), part.size()) == 0);
}

// A post_op_attr is one word, plus 84 bytes of fattr3 when that word is non-zero.
std::size_t attr_len(const Bytes& b, std::size_t off) { return word(b, off) != 0 ? 88 : 4; }

void rpc_reply(const Bytes& in) {
    // Bytes 0-3 are the xid the call carried, the rest the reply message.
    if (in.size() < 4)
        return;
    const Bytes reply(in.begin() + 4, in.end());
    const std::uint32_t start = tamber::rpc_reply_results(reply, word(in, 0));
    check(start <= reply.size() && (reply.size() - start) % 4 == 0);
    check(start >= 24);  // six header words precede the results
    check(start == 24 + ((word(reply, 16) + 3) & ~std::uint32_t{3}));  // after the verifier body
}

void getport(const Bytes& in) {
    const std::uint16_t port = tamber::decode_getport_result(tamber::XdrReader(in));
    check(port != 0 && port == word(in, 0));
}

void mnt(const Bytes& in) {
    const tamber::FileHandle fh = tamber::decode_mnt_result(tamber::XdrReader(in));
    check(word(in, 0) == 0 && fh.bytes.size() == word(in, 4));
    check(fh.bytes.size() + 8 <= in.size() && same_at(in, 8, fh.bytes));
}

void lookup(const Bytes& in) {
    const tamber::FileHandle fh = tamber::decode_lookup_result(tamber::XdrReader(in));
    check(word(in, 0) == 0 && fh.bytes.size() == word(in, 4));
    check(fh.bytes.size() + 16 <= in.size() && same_at(in, 8, fh.bytes));
}

void read(const Bytes& in) {
    const tamber::ReadResult result = tamber::decode_read_result(tamber::XdrReader(in));
    const std::size_t at = 4 + attr_len(in, 4);  // the count word; eof and data follow
    check(word(in, 0) == 0 && result.eof == (word(in, at + 4) != 0));
    check(result.length == word(in, at + 8) && result.length + at + 12 <= in.size());
    check(result.data == in.data() + at + 12);  // in place, not a copy
    // The size hint is the fattr3 size word, present exactly when the attributes follow.
    const std::uint64_t size = std::uint64_t{word(in, 28)} << 32 | word(in, 32);
    check(result.file_size == (at == 92 ? std::optional<std::uint64_t>(size) : std::nullopt));
}

void readdir(const Bytes& in) {
    // An entry already in the list must survive: the decoder appends.
    std::vector<tamber::DirEntry> entries(1);
    entries[0].name = "kept";
    tamber::CookieVerifier verifier{};
    tamber::decode_readdir_result(tamber::XdrReader(in), entries, verifier);
    check(!entries.empty() && entries[0].name == "kept");
    const std::size_t at = 4 + attr_len(in, 4);
    check(std::memcmp(verifier.data(), in.data() + at, verifier.size()) == 0);
    // Status, attribute word, verifier and the two end words take 24 bytes; every entry at
    // least 24 more besides its name.
    std::size_t names = 0;
    for (std::size_t i = 1; i < entries.size(); ++i) names += entries[i].name.size();
    check(names + (entries.size() - 1) * 24 + 24 <= in.size());
}

void split(const Bytes& in) {
    const std::string text(in.begin(), in.end());
    // Components stand in the text in order, a separator after each but the last; so their
    // lengths plus separators never exceed the text.
    std::size_t pos = 0;
    for (const std::string& p : tamber::split_nfs_path(text)) {
        check(!p.empty() && p != "." && p.find_first_of("/\\") == std::string::npos);
        pos = text.find(p, pos);
        check(pos != std::string::npos);
        pos += p.size() + 1;
    }
}

using Decoder = void (*)(const Bytes&);
constexpr Decoder decoders[] = {rpc_reply, getport, mnt, lookup, read, readdir, split};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const Decoder decode = decoders[data[0] % (sizeof decoders / sizeof decoders[0])];
    const Bytes in(data + 1, data + size);
    try {
        decode(in);
    } catch (const tamber::Error&) {
        // A refusal of bad bytes is the decoders' documented answer.
    }
    return 0;
}
