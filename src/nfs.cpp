#include "nfs.h"

#include <algorithm>
#include <set>
#include <utility>

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

// Skips a post_op_attr; returns the file size it carried, if any.
std::optional<std::uint64_t> skip_post_op_attr(XdrReader& r) {
    if (r.u32() == 0) {
        return std::nullopt;
    }
    for (int i = 0; i < 5; ++i) r.u32();  // type, mode, nlink, uid, gid
    const std::uint64_t size = r.u64();
    r.u64();                              // used
    for (int i = 0; i < 2; ++i) r.u32();  // rdev
    for (int i = 0; i < 2; ++i) r.u64();  // fsid, fileid
    for (int i = 0; i < 6; ++i) r.u32();  // atime, mtime, ctime
    return size;
}

static_assert(5 * 4 + 2 * 8 + 2 * 4 + 2 * 8 + 6 * 4 == fattr3_bytes, "fattr3 is 84 bytes");

void require_ok(XdrReader& r, const char* message) {
    if (r.u32() != 0) {
        throw Error(message);
    }
}

}  // namespace

FileContents::FileContents(std::size_t piece_size) : piece_size(piece_size) {
    if (piece_size == 0) {
        throw Error("file piece size of 0");
    }
}

void FileContents::append(const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        if (parts.empty() || parts.back().size() == piece_size) {
            parts.emplace_back();
            parts.back().reserve(piece_size);
        }
        Bytes& last = parts.back();
        const std::size_t take = std::min(n, piece_size - last.size());
        last.insert(last.end(), data, data + take);
        data += take;
        n -= take;
        total += take;
    }
}

FileHandle decode_lookup_result(XdrReader results) {
    require_ok(results, "NFS LOOKUP failed");
    FileHandle handle{results.opaque()};
    skip_post_op_attr(results);  // object
    skip_post_op_attr(results);  // directory
    return handle;
}

ReadResult decode_read_result(XdrReader results) {
    require_ok(results, "NFS READ failed");
    ReadResult out;
    out.file_size = skip_post_op_attr(results);
    results.u32();  // count: the data's own length word is what counts
    out.eof = results.u32() != 0;
    out.length = results.u32();
    out.data = results.fixed_opaque_view(out.length);
    return out;
}

bool decode_readdir_result(XdrReader results, std::vector<DirEntry>& entries,
                           CookieVerifier& verifier) {
    require_ok(results, "NFS READDIR failed");
    skip_post_op_attr(results);
    const Bytes v = results.fixed_opaque(static_cast<std::uint32_t>(verifier.size()));
    std::copy(v.begin(), v.end(), verifier.begin());
    while (results.u32() != 0) {
        DirEntry e;
        e.fileid = results.u64();
        e.name = results.str();
        e.cookie = results.u64();
        entries.push_back(std::move(e));
    }
    return results.u32() != 0;
}

NfsClient::NfsClient(const std::string& host, std::uint16_t port, const RpcIdentity& identity)
    : rpc(host, port, nfs_prog, nfs_vers), identity(identity) {}

FileHandle NfsClient::lookup(const FileHandle& dir, const std::string& name) {
    XdrWriter args;
    args.opaque(dir.bytes);
    args.str(name);
    const RpcReply reply = rpc.call(proc_lookup, args.data(), identity);
    return decode_lookup_result(reply.results());
}

ReadResult NfsClient::send_read(const FileHandle& file, std::uint64_t offset, std::uint32_t count,
                                RpcReply& reply) {
    XdrWriter args;
    args.opaque(file.bytes);
    args.u64(offset);
    args.u32(count);
    reply = rpc.call(proc_read, args.data(), identity, std::move(reply.record));
    return decode_read_result(reply.results());
}

Bytes NfsClient::read(const FileHandle& file, std::uint64_t offset, std::uint32_t count,
                      bool* eof) {
    RpcReply reply;
    const ReadResult result = send_read(file, offset, count, reply);
    *eof = result.eof;
    return Bytes(result.data, result.data + result.length);
}

FileContents NfsClient::read_all(const FileHandle& file, std::size_t piece_size) {
    ReadCursor cursor(*this, file, piece_size);
    while (cursor.step()) {
    }
    return cursor.take();
}

ReadCursor::ReadCursor(NfsClient& client, const FileHandle& file, std::size_t piece_size)
    : client(client), file(file), contents(piece_size) {}

bool ReadCursor::step() {
    const ReadResult result = client.send_read(file, contents.size(), read_size, reply);
    hint = result.file_size;
    // The data goes from the reply straight into its place in the pieces.
    contents.append(result.data, result.length);
    // The offset moves on by the bytes received; a reply without data ends the file as eof does.
    return !result.eof && result.length != 0;
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
        const RpcReply reply = rpc.call(proc_readdir, args.data(), identity);
        const bool eof = decode_readdir_result(reply.results(), entries, verifier);
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
