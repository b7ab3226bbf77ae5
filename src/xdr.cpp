#include "xdr.h"

#include <limits>
#include <stdexcept>

#include "error.h"

namespace tamber {
namespace {

std::uint32_t checked_length(std::size_t n) {
    if (n > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("XDR item longer than 4 GiB");
    }
    return static_cast<std::uint32_t>(n);
}

}  // namespace

void XdrWriter::u32(std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        buf.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}

void XdrWriter::u64(std::uint64_t v) {
    u32(static_cast<std::uint32_t>(v >> 32));
    u32(static_cast<std::uint32_t>(v));
}

void XdrWriter::pad(std::uint32_t n) { buf.insert(buf.end(), xdr_pad_count(n), 0); }

void XdrWriter::fixed_opaque(const std::uint8_t* p, std::uint32_t n) {
    if (n != 0) {
        buf.insert(buf.end(), p, p + n);
    }
    pad(n);
}

void XdrWriter::opaque(const Bytes& b) {
    const std::uint32_t n = checked_length(b.size());
    u32(n);
    fixed_opaque(b.empty() ? nullptr : b.data(), n);
}

void XdrWriter::str(const std::string& s) {
    const std::uint32_t n = checked_length(s.size());
    u32(n);
    buf.insert(buf.end(), s.begin(), s.end());
    pad(n);
}

XdrReader::XdrReader(const Bytes& buf, std::uint32_t start) : buf(buf) {
    checked_length(buf.size());
    require(start);
    pos = start;
}

void XdrReader::require(std::uint32_t n) const {
    // Compare against the unread count, never pos + n, which could wrap.
    if (n > remaining()) {
        throw Error("truncated XDR stream");
    }
}

void XdrReader::skip_pad(std::uint32_t n) {
    const std::uint32_t c = xdr_pad_count(n);
    require(c);
    pos += c;
}

std::uint32_t XdrReader::u32() {
    require(4);
    const std::uint8_t* p = buf.data() + pos;
    pos += 4;
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

std::uint64_t XdrReader::u64() {
    const std::uint64_t high = u32();
    return high << 32 | u32();
}

const std::uint8_t* XdrReader::fixed_opaque_view(std::uint32_t n) {
    require(n);
    const std::uint8_t* p = buf.data() + pos;
    pos += n;
    skip_pad(n);
    return p;
}

Bytes XdrReader::fixed_opaque(std::uint32_t n) {
    const std::uint8_t* p = fixed_opaque_view(n);
    return Bytes(p, p + n);
}

Bytes XdrReader::opaque() { return fixed_opaque(u32()); }

std::string XdrReader::str() {
    const std::uint32_t n = u32();
    const std::uint8_t* p = fixed_opaque_view(n);
    return std::string(p, p + n);
}

}  // namespace tamber
