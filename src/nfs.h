#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "bytes.h"
#include "file_handle.h"
#include "rpc.h"

namespace tamber {

// One directory entry as READDIR delivers it.
struct DirEntry {
    std::uint64_t fileid = 0;
    std::string name;
    std::uint64_t cookie = 0;
};

using CookieVerifier = std::array<std::uint8_t, 8>;

// NFS version 3 LOOKUP, READ and READDIR over one RPC client; handles stay opaque bytes.
class NfsClient {
public:
    NfsClient(const std::string& host, std::uint16_t port, const RpcIdentity& identity);

    // The handle of `name` inside the directory `dir`.
    FileHandle lookup(const FileHandle& dir, const std::string& name);
    // One READ; sets *eof on every successful return.
    Bytes read(const FileHandle& file, std::uint64_t offset, std::uint32_t count, bool* eof);
    // The whole file from offset 0, in 32768-byte READs.
    Bytes read_all(const FileHandle& file);
    // The whole directory, in wire order, in 8192-byte READDIR pages.
    std::vector<DirEntry> readdir(const FileHandle& dir);

private:
    RpcClient rpc;
    RpcIdentity identity;
};

// The walk of a path from `start`, one LOOKUP per component.
FileHandle resolve_path(NfsClient& client, const FileHandle& start, const std::string& path);

// Result decoders, one per procedure.
FileHandle decode_lookup_result(const Bytes& results);
Bytes decode_read_result(const Bytes& results, bool* eof);
// Appends the page's entries, stores its verifier, and returns its eof flag.
bool decode_readdir_result(const Bytes& results, std::vector<DirEntry>& entries,
                           CookieVerifier& verifier);

}  // namespace tamber
