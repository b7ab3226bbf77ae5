// The least work a client of this protocol can do for `get`, as a yardstick for scripts/bench:
// the same calls over the same connections (one per call, abortive close), but every READ's data
// is received straight into a buffer sized from LOOKUP's attributes, and written with one call.
//
// Usage: floor_client <server> <export> <remote-name-in-export-root> <local-file>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "floor_client: %s\n", what);
    std::exit(1);
}

void put32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}
void put64(Bytes& b, std::uint64_t v) {
    put32(b, static_cast<std::uint32_t>(v >> 32));
    put32(b, static_cast<std::uint32_t>(v));
}
void put_opaque(Bytes& b, const std::uint8_t* p, std::size_t n) {
    put32(b, static_cast<std::uint32_t>(n));
    b.insert(b.end(), p, p + n);
    b.insert(b.end(), (4 - n % 4) % 4, 0);
}
void put_str(Bytes& b, const std::string& s) {
    put_opaque(b, reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
std::uint32_t get32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// One reply record read across its fragments, straight into wherever the caller wants it.
class Reply {
public:
    explicit Reply(int fd) : fd(fd) {}
    void read(void* dst, std::size_t n) {
        auto* p = static_cast<std::uint8_t*>(dst);
        while (n > 0) {
            if (left == 0) {
                if (last)
                    die("reply shorter than expected");
                std::uint8_t mark[4];
                exact(mark, 4);
                const std::uint32_t m = get32(mark);
                last = (m & 0x80000000U) != 0;
                left = m & 0x7FFFFFFFU;
                continue;
            }
            const std::size_t k = n < left ? n : left;
            exact(p, k);
            p += k;
            n -= k;
            left -= static_cast<std::uint32_t>(k);
        }
    }
    std::uint32_t u32() {
        std::uint8_t w[4];
        read(w, 4);
        return get32(w);
    }
    std::uint64_t u64() {
        const std::uint64_t hi = u32();
        return hi << 32 | u32();
    }
    Bytes opaque() {
        const std::uint32_t n = u32();
        Bytes out(n + (4 - n % 4) % 4);
        read(out.data(), out.size());
        out.resize(n);
        return out;
    }
    void skip(std::size_t n) {
        std::uint8_t junk[256];
        while (n > 0) {
            const std::size_t k = n < sizeof junk ? n : sizeof junk;
            read(junk, k);
            n -= k;
        }
    }

private:
    void exact(std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            const ssize_t r = ::recv(fd, p, n, 0);
            if (r <= 0)
                die("recv failed");
            p += r;
            n -= static_cast<std::size_t>(r);
        }
    }
    int fd;
    std::uint32_t left = 0;
    bool last = false;
};

std::uint32_t server_addr;
std::uint32_t next_xid = static_cast<std::uint32_t>(std::time(nullptr));

// Connects, sends one call, and leaves the socket positioned at the procedure's results.
int call(std::uint16_t port, std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
         const Bytes& args) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        die("socket failed");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = server_addr;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        die("connect failed");
    const std::uint32_t xid = ++next_xid;
    Bytes m;
    put32(m, 0);  // record mark, filled in below
    put32(m, xid);
    put32(m, 0);
    put32(m, 2);
    put32(m, prog);
    put32(m, vers);
    put32(m, proc);
    Bytes cred;
    put32(cred, static_cast<std::uint32_t>(std::time(nullptr)));
    put_str(cred, "tamberline");
    put32(cred, 65534);
    put32(cred, 65534);
    put32(cred, 0);
    put32(m, 1);
    put_opaque(m, cred.data(), cred.size());
    put32(m, 0);
    put32(m, 0);
    m.insert(m.end(), args.begin(), args.end());
    const std::uint32_t mark = 0x80000000U | static_cast<std::uint32_t>(m.size() - 4);
    for (int i = 0; i < 4; ++i) m[i] = static_cast<std::uint8_t>(mark >> (24 - 8 * i));
    if (::send(fd, m.data(), m.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(m.size()))
        die("send failed");
    return fd;
}

void check_header(Reply& r, std::uint32_t xid) {
    if (r.u32() != xid || r.u32() != 1 || r.u32() != 0)
        die("bad reply");
    r.u32();     // verifier flavor
    r.opaque();  // verifier body
    if (r.u32() != 0)
        die("call not accepted");
}

void finish(int fd) {
    const linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

// Returns the file size when the attributes are present, or 0.
std::uint64_t post_op_attr_size(Reply& r) {
    if (r.u32() == 0)
        return 0;
    r.skip(20);  // type, mode, nlink, uid, gid
    const std::uint64_t size = r.u64();
    r.skip(84 - 20 - 8);
    return size;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5)
        die("usage: floor_client <server> <export> <name> <local-file>");
    if (::inet_pton(AF_INET, argv[1], &server_addr) != 1)
        die("server must be an IPv4 address");

    Bytes args;
    put32(args, 100005);
    put32(args, 3);
    put32(args, 6);
    put32(args, 0);
    int fd = call(111, 100000, 2, 3, args);
    Reply pm(fd);
    check_header(pm, next_xid);
    const auto mount_port = static_cast<std::uint16_t>(pm.u32());
    finish(fd);

    args.clear();
    put_str(args, argv[2]);
    fd = call(mount_port, 100005, 3, 1, args);
    Reply mnt(fd);
    check_header(mnt, next_xid);
    if (mnt.u32() != 0)
        die("MNT failed");
    const Bytes root = mnt.opaque();
    finish(fd);

    args.clear();
    put32(args, 100003);
    put32(args, 3);
    put32(args, 6);
    put32(args, 0);
    fd = call(111, 100000, 2, 3, args);
    Reply pm2(fd);
    check_header(pm2, next_xid);
    const auto nfs_port = static_cast<std::uint16_t>(pm2.u32());
    finish(fd);

    args.clear();
    put_opaque(args, root.data(), root.size());
    put_str(args, argv[3]);
    fd = call(nfs_port, 100003, 3, 3, args);
    Reply lk(fd);
    check_header(lk, next_xid);
    if (lk.u32() != 0)
        die("LOOKUP failed");
    const Bytes file = lk.opaque();
    const std::uint64_t size = post_op_attr_size(lk);
    finish(fd);

    // Untouched pages cost nothing until data lands in them.
    std::size_t cap = size + 32768;
    auto* buf = static_cast<std::uint8_t*>(std::malloc(cap));
    if (buf == nullptr)
        die("out of memory");
    std::uint64_t offset = 0;
    for (;;) {
        args.clear();
        put_opaque(args, file.data(), file.size());
        put64(args, offset);
        put32(args, 32768);
        fd = call(nfs_port, 100003, 3, 6, args);
        Reply rd(fd);
        check_header(rd, next_xid);
        if (rd.u32() != 0)
            die("READ failed");
        post_op_attr_size(rd);
        rd.u32();
        const bool eof = rd.u32() != 0;
        const std::uint32_t n = rd.u32();
        if (offset + n + 3 > cap) {
            cap = (offset + n + 3) * 2;
            buf = static_cast<std::uint8_t*>(std::realloc(buf, cap));
            if (buf == nullptr)
                die("out of memory");
        }
        rd.read(buf + offset, n + (4 - n % 4) % 4);
        finish(fd);
        offset += n;
        if (eof || n == 0)
            break;
    }

    const int out = ::open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0)
        die("could not open local output file");
    std::uint64_t done = 0;
    while (done < offset) {
        const ssize_t w = ::write(out, buf + done, offset - done);
        if (w <= 0)
            die("write failed");
        done += static_cast<std::uint64_t>(w);
    }
    ::close(out);
    std::free(buf);
    std::printf("wrote %llu bytes\n", static_cast<unsigned long long>(offset));
    return 0;
}
