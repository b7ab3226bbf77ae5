#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "file_handle.h"
#include "rpc.h"
#include "xdr.h"

namespace tamber {

// One directory entry as READDIR delivers it.
struct DirEntry {
    std::uint64_t fileid = 0;
    std::string name;
    std::uint64_t cookie = 0;
};

using CookieVerifier = std::array<std::uint8_t, 8>;

// A file's contents as pieces of one fixed size: no allocation is larger than a piece and nothing
// is copied to grow, so that a large file fits a fragmented 32-bit address space. Every piece but
// the last is full.
class FileContents {
public:
    static constexpr std::size_t default_piece_size = std::size_t{16} << 20;
    // Throws Error when piece_size is 0.
    explicit FileContents(std::size_t piece_size = default_piece_size);
    // Appends n bytes; a piece's storage is reserved (never zeroed) when the previous one is full.
    void append(const std::uint8_t* data, std::size_t n);
    std::uint64_t size() const { return total; }
    const std::vector<Bytes>& pieces() const { return parts; }

private:
    std::size_t piece_size;
    std::uint64_t total = 0;
    std::vector<Bytes> parts;
};

// The fields of a READ result that the client uses. `data` points into the decoded buffer.
struct ReadResult {
    std::optional<std::uint64_t> file_size;  // from the file's attributes, when they came
    bool eof = false;
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
};

class ReadCursor;

// NFS version 3 LOOKUP, READ and READDIR over one RPC client; handles stay opaque bytes.
class NfsClient {
public:
    NfsClient(const std::string& host, std::uint16_t port, const RpcIdentity& identity);

    // The handle of `name` inside the directory `dir`.
    FileHandle lookup(const FileHandle& dir, const std::string& name);
    // One READ; sets *eof on every successful return.
    Bytes read(const FileHandle& file, std::uint64_t offset, std::uint32_t count, bool* eof);
    // The whole file from offset 0, in 32768-byte READs (a ReadCursor run to its end).
    FileContents read_all(const FileHandle& file,
                          std::size_t piece_size = FileContents::default_piece_size);
    // The whole directory, in wire order, in 8192-byte READDIR pages.
    std::vector<DirEntry> readdir(const FileHandle& dir);

private:
    friend class ReadCursor;
    // Sends one READ; its reply is received into `reply`, whose record is reused, and the result
    // points into it.
    ReadResult send_read(const FileHandle& file, std::uint64_t offset, std::uint32_t count,
                         RpcReply& reply);

    RpcClient rpc;
    RpcIdentity identity;
};

// Reads a file from offset 0 to its end, one READ of 32768 bytes per step, into FileContents.
class ReadCursor {
public:
    // Borrows `client`, which outlives the cursor.
    ReadCursor(NfsClient& client, const FileHandle& file,
               std::size_t piece_size = FileContents::default_piece_size);
    // Sends the next READ and stores its data; returns false once the file has ended (eof, or a
    // reply without data). Call it only while it returns true; the first call always sends a READ.
    bool step();
    // Bytes received so far (also the next READ's offset).
    std::uint64_t received() const { return contents.size(); }
    // The file size that the latest READ reply's attributes gave, if any: a hint only (servers
    // may lie).
    std::optional<std::uint64_t> size_hint() const { return hint; }
    // The contents; call once, after step() returned false.
    FileContents take() { return std::move(contents); }

private:
    NfsClient& client;
    FileHandle file;
    FileContents contents;
    RpcReply reply;  // every READ's reply lands in this one record
    std::optional<std::uint64_t> hint;
};

// The walk of a path from `start`, one LOOKUP per component.
FileHandle resolve_path(NfsClient& client, const FileHandle& start, const std::string& path);

// Result decoders, one per procedure, each reading from the reader's position on.
FileHandle decode_lookup_result(XdrReader results);
ReadResult decode_read_result(XdrReader results);
// Appends the page's entries, stores its verifier, and returns its eof flag.
bool decode_readdir_result(XdrReader results, std::vector<DirEntry>& entries,
                           CookieVerifier& verifier);

}  // namespace tamber
