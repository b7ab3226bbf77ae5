#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "bytes.h"

namespace tamber {

// Appends XDR items (big-endian, padded to 4 bytes) to a buffer of its own.
class XdrWriter {
public:
    void u32(std::uint32_t v);
    void u64(std::uint64_t v);
    // n bytes and their pad, no length word; (nullptr, 0) appends nothing.
    void fixed_opaque(const std::uint8_t* p, std::uint32_t n);
    void opaque(const Bytes& b);
    void str(const std::string& s);
    // The 0 to 3 zero bytes that bring a length of n up to a multiple of 4.
    void pad(std::uint32_t n);
    const Bytes& data() const { return buf; }
    // Hands the buffer over; the writer is not used afterwards.
    Bytes take() { return std::move(buf); }

private:
    Bytes buf;
};

// Decodes XDR items in order and refuses to read past the end.
class XdrReader {
public:
    // Borrows `buf`: the caller keeps it alive and unchanged while the reader is in use. Reading
    // starts at byte `start`, which must lie within the buffer.
    explicit XdrReader(const Bytes& buf, std::uint32_t start = 0);

    std::uint32_t u32();
    std::uint64_t u64();
    Bytes fixed_opaque(std::uint32_t n);
    // fixed_opaque without the copy: the n bytes stay in the borrowed buffer.
    const std::uint8_t* fixed_opaque_view(std::uint32_t n);
    Bytes opaque();
    std::string str();
    std::uint32_t remaining() const { return static_cast<std::uint32_t>(buf.size()) - pos; }
    bool eof() const { return pos >= buf.size(); }
    // Throws "truncated XDR stream" when fewer than n bytes are unread.
    void require(std::uint32_t n) const;
    void skip_pad(std::uint32_t n);
    // Position of the next unread byte.
    std::uint32_t position() const { return pos; }

private:
    const Bytes& buf;
    std::uint32_t pos = 0;
};

// Pad count of a length: (4 - n mod 4) mod 4, the two low bits of -n.
constexpr std::uint32_t xdr_pad_count(std::uint32_t n) { return (0U - n) & 3U; }

}  // namespace tamber
