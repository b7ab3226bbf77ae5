#include "nfs.h"

#include <algorithm>
#include <set>

#include "error.h"
#include "path.h"
#include "xdr.h"

namespace tamber {
namespace {

constexpr std::uint32_t nfs_prog = 100003;
constexpr std::uint32_t nfs_vers = 3;
constexpr std::uint32_t proc_lookup = 3;
constexpr std::uint32_t proc_read = 6;
constexpr std::uint32_t proc_readdir = 16;
constexpr std::uint32_t read_size = 32768;
constexpr std::uint32_t readdir_count = 8192;
// fattr3 after its leading word: 13 fields in 21 XDR words.
constexpr std::uint32_t fattr3_bytes = 84;

void skip_post_op_attr(XdrReader& r) {
    if (r.u32() == 0) {
        return;
    }
    for (int i = 0; i < 5; ++i) r.u32();  // type, mode, nlink, uid, gid
    for (int i = 0; i < 2; ++i) r.u64();  // size, used
    for (int i = 0; i < 2; ++i) r.u32();  // rdev
    for (int i = 0; i < 2; ++i) r.u64();  // fsid, fileid
    for (int i = 0; i < 6; ++i) r.u32();  // atime, mtime, ctime
}

static_assert(5 * 4 + 2 * 8 + 2 * 4 + 2 * 8 + 6 * 4 == fattr3_bytes, "fattr3 is 84 bytes");

void require_ok(XdrReader& r, const char* message) {
    if (r.u32() != 0) {
        throw Error(message);
    }
}

Bytes read_args(const FileHandle& file, std::uint64_t offset, std::uint32_t count) {
    XdrWriter args;
    args.opaque(file.bytes);
    args.u64(offset);
    args.u32(count);
    return args.take();
}

// READ results from the reader's position on; the data stays where it is, in the reader's
// buffer. Sets *eof only on success.
const std::uint8_t* read_result_data(XdrReader& r, std::uint32_t& n, bool* eof) {
    require_ok(r, "NFS READ failed");
    skip_post_op_attr(r);
    r.u32();  // count: the data's own length word is what counts
    const bool at_end = r.u32() != 0;
    n = r.u32();
    const std::uint8_t* data = r.fixed_opaque_view(n);
    *eof = at_end;
    return data;
}

// A whole READ reply whose results begin at `start`: the data goes from the reply straight
// onto the end of `contents`. Returns the data's length.
std::uint32_t append_read_result(const Bytes& reply, std::uint32_t start, Bytes& contents,
                                 bool* eof) {
    XdrReader r(reply);
    r.fixed_opaque_view(start);  // the RPC header, already checked
    std::uint32_t n = 0;
    const std::uint8_t* data = read_result_data(r, n, eof);
    contents.insert(contents.end(), data, data + n);
    return n;
}

}  // namespace

FileHandle decode_lookup_result(const Bytes& results) {
    XdrReader r(results);
    require_ok(r, "NFS LOOKUP failed");
    FileHandle handle{r.opaque()};
    skip_post_op_attr(r);  // object
    skip_post_op_attr(r);  // directory
    return handle;
}

Bytes decode_read_result(const Bytes& results, bool* eof) {
    XdrReader r(results);
    std::uint32_t n = 0;
    const std::uint8_t* data = read_result_data(r, n, eof);
    return Bytes(data, data + n);
}

bool decode_readdir_result(const Bytes& results, std::vector<DirEntry>& entries,
                           CookieVerifier& verifier) {
    XdrReader r(results);
    require_ok(r, "NFS READDIR failed");
    skip_post_op_attr(r);
    const Bytes v = r.fixed_opaque(static_cast<std::uint32_t>(verifier.size()));
    std::copy(v.begin(), v.end(), verifier.begin());
    while (r.u32() != 0) {
        DirEntry e;
        e.fileid = r.u64();
        e.name = r.str();
        e.cookie = r.u64();
        entries.push_back(std::move(e));
    }
    return r.u32() != 0;
}

NfsClient::NfsClient(const std::string& host, std::uint16_t port, const RpcIdentity& identity)
    : rpc(host, port, nfs_prog, nfs_vers), identity(identity) {}

FileHandle NfsClient::lookup(const FileHandle& dir, const std::string& name) {
    XdrWriter args;
    args.opaque(dir.bytes);
    args.str(name);
    return decode_lookup_result(rpc.call(proc_lookup, args.data(), identity));
}

Bytes NfsClient::read(const FileHandle& file, std::uint64_t offset, std::uint32_t count,
                      bool* eof) {
    return decode_read_result(rpc.call(proc_read, read_args(file, offset, count), identity), eof);
}

Bytes NfsClient::read_all(const FileHandle& file) {
    Bytes contents;
    Bytes reply;  // every READ's reply lands in this one buffer
    std::uint64_t offset = 0;
    bool eof = false;
    while (!eof) {
        const std::uint32_t start =
            rpc.call_into(proc_read, read_args(file, offset, read_size), identity, reply);
        const std::uint32_t n = append_read_result(reply, start, contents, &eof);
        if (n == 0) {
            break;  // a reply without data ends the file just as eof does
        }
        offset += n;
    }
    return contents;
}

std::vector<DirEntry> NfsClient::readdir(const FileHandle& dir) {
    std::vector<DirEntry> entries;
    std::uint64_t cookie = 0;
    CookieVerifier verifier{};
    // A page that does not move the cookie on to one not yet sent would repeat the listing
    // forever; a sound server never sends one.
    std::set<std::uint64_t> sent;
    for (;;) {
        sent.insert(cookie);
        XdrWriter args;
        args.opaque(dir.bytes);
        args.u64(cookie);
        args.fixed_opaque(verifier.data(), static_cast<std::uint32_t>(verifier.size()));
        args.u32(readdir_count);
        const std::size_t before = entries.size();
        const bool eof =
            decode_readdir_result(rpc.call(proc_readdir, args.data(), identity), entries, verifier);
        if (eof) {
            return entries;
        }
        if (entries.size() == before || sent.count(entries.back().cookie) != 0) {
            throw Error("NFS READDIR failed");
        }
        cookie = entries.back().cookie;
    }
}

FileHandle resolve_path(NfsClient& client, const FileHandle& start, const std::string& path) {
    FileHandle current = start;
    for (const std::string& name : split_nfs_path(path)) {
        current = client.lookup(current, name);
    }
    return current;
}

}  // namespace tamber
