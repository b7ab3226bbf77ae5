// A broken or hostile NFS server, one scenario per run: a portmapper on 127.0.0.1:111 and one
// server for the mount and NFS calls, each playing a script. Run inside a network namespace of
// its own. Prints "ready <port>" once both listen, serves until a line arrives on standard input
// (the client is done), then prints one line per call received: "<program> <procedure>".
//
// Usage: hostile_server SCENARIO | hostile_server mutate SEED

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "error.h"
#include "nfs.h"
#include "scripted_server.h"

namespace tamber::test {
namespace {

Bytes u64_words(std::uint64_t v) {
    return words({static_cast<std::uint32_t>(v >> 32), static_cast<std::uint32_t>(v)});
}

Bytes filled(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

const Bytes root_handle = filled(28, 1);
const Bytes file_handle = filled(36, 2);
// A post_op_attr that follows, all zeros but the file's size.
Bytes attributes(std::uint64_t size = 0) {
    return cat({words({1}), Bytes(20, 0), u64_words(size), Bytes(56, 0)});
}

Bytes mnt_ok() { return cat({words({0}), opaque(root_handle), words({1, 1})}); }
Bytes lookup_ok() { return cat({words({0}), opaque(file_handle), attributes(), words({0})}); }
Bytes read_ok(std::uint32_t offset, std::uint32_t n, bool eof, std::uint64_t size = 0) {
    return cat({words({0}), attributes(size), words({n, eof ? 1U : 0U}),
                opaque(filled(n, static_cast<std::uint8_t>(offset)))});
}

// Answers after a pause, as a slow link would.
Step paced(Step step) {
    step.respond = [inner = std::move(step.respond)](const Bytes& call) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        return inner(call);
    };
    return step;
}
Bytes readdir_page(std::uint64_t first_cookie, int count, bool eof) {
    Bytes page = cat({words({0, 0}), Bytes(8, 0xA5)});
    for (int i = 0; i < count; ++i) {
        const std::uint64_t cookie = first_cookie + static_cast<std::uint64_t>(i);
        page = cat({page, words({1}), u64_words(1000 + cookie),
                    opaque("entry-" + std::to_string(cookie)), u64_words(cookie)});
    }
    return cat({page, words({0, eof ? 1U : 0U})});
}

ReplyHeader header(std::uint32_t xid_delta, std::uint32_t msg_type = 1,
                   std::uint32_t reply_stat = 0, std::uint32_t accept_stat = 0) {
    ReplyHeader h;
    h.xid_delta = xid_delta;
    h.msg_type = msg_type;
    h.reply_stat = reply_stat;
    h.accept_stat = accept_stat;
    return h;
}

struct Scenario {
    std::vector<Step> portmap;
    std::vector<Step> service;
    bool listing = true;  // the client is to run ls /, otherwise get /f
};

// The steps of a sound server for `get /f` (three READs) or `ls /` (two READDIR pages).
std::vector<std::function<Bytes()>> sound_replies(bool listing) {
    std::vector<std::function<Bytes()>> out{mnt_ok};
    if (listing) {
        out.push_back([] { return readdir_page(1, 3, false); });
        out.push_back([] { return readdir_page(4, 2, true); });
    } else {
        out.push_back(lookup_ok);
        out.push_back([] { return read_ok(0, 32768, false); });
        out.push_back([] { return read_ok(32768, 32768, false); });
        out.push_back([] { return read_ok(65536, 100, true); });
    }
    return out;
}

Scenario sound(std::uint16_t port, bool listing) {
    Scenario s{{reply(words({port})), reply(words({port}))}, {}, listing};
    for (const auto& make : sound_replies(listing)) s.service.push_back(reply(make()));
    return s;
}

// One reply of a sound run corrupted: bits flipped, cut short, split into odd fragments, or a
// word replaced by a length that lies.
Scenario mutated(std::uint16_t port, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const bool listing = rng() % 3 == 0;
    Scenario s = sound(port, listing);
    const std::size_t total = s.portmap.size() + s.service.size();
    const std::size_t victim = rng() % total;
    const std::uint32_t kind = rng() % 4;
    const std::uint32_t r1 = static_cast<std::uint32_t>(rng());
    const std::uint32_t r2 = static_cast<std::uint32_t>(rng());
    Step& target =
        victim < s.portmap.size() ? s.portmap[victim] : s.service[victim - s.portmap.size()];
    target.respond = [inner = target.respond, kind, r1, r2](const Bytes& call) {
        Bytes out = inner(call);  // one last fragment: mark and message
        const Bytes message(out.begin() + 4, out.end());
        switch (kind) {
            case 0:  // flip one to three bits
                for (std::uint32_t i = 0, n = 1 + r2 % 3; i < n; ++i) {
                    const std::uint32_t bit =
                        (r1 + i * 977U) % static_cast<std::uint32_t>(out.size() * 8);
                    out[bit / 8] = static_cast<std::uint8_t>(out[bit / 8] ^ (1U << (bit % 8)));
                }
                return out;
            case 1:  // cut short, then the server closes
                out.resize(r1 % out.size());
                return out;
            case 2: {  // the same message in random fragments, empty ones included
                Bytes framed;
                std::size_t pos = 0;
                std::uint32_t r = r1;
                while (pos < message.size()) {
                    r = r * 1103515245U + 12345U;
                    const std::size_t n =
                        std::min<std::size_t>(message.size() - pos, (r >> 8) % 40);
                    const bool last = pos + n == message.size();
                    framed =
                        cat({framed,
                             fragment(Bytes(message.begin() + static_cast<std::ptrdiff_t>(pos),
                                            message.begin() + static_cast<std::ptrdiff_t>(pos + n)),
                                      last)});
                    pos += n;
                }
                return framed;
            }
            default: {  // a word that lies about a length
                const std::uint32_t lies[] = {0,           1,           3,           0x7FFFFFFFU,
                                              0x80000000U, 0xFFFFFFFFU, 0xFFFFFFFCU, r2};
                const std::size_t at = 4 * (r1 % (out.size() / 4));
                const Bytes w = words({lies[r2 % 8]});
                std::copy(w.begin(), w.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
                return out;
            }
        }
    };
    return s;
}

Scenario named(const std::string& name, std::uint16_t port) {
    const Step pmap = reply(words({port}));
    const auto refused = [&](Step pmap_step) { return Scenario{{std::move(pmap_step)}, {}, true}; };
    const auto mount_says = [&](Bytes results, ReplyHeader h = {}) {
        return Scenario{{pmap}, {reply(std::move(results), std::move(h))}, true};
    };
    if (name == "sound-get")
        return sound(port, false);
    if (name == "sound-ls")
        return sound(port, true);
    if (name == "silent")
        return Scenario{{pmap}, {silent()}};
    if (name == "silent-mid-record")
        return Scenario{{pmap},
                        {Step{std::nullopt,
                              [](const Bytes&) {
                                  return words({0x80000040U, 1, 2});
                              },
                              true}}};
    if (name == "close-mid-record")
        return Scenario{{pmap}, {respond([](const Bytes&) {
                            return cat({words({0x80000064U}), Bytes(20, 0)});
                        })}};
    if (name == "huge-fragment")
        return Scenario{{pmap}, {respond([](const Bytes&) {
                            return cat({words({0xFFFFFFFFU}), Bytes(3 << 20, 0x5A)});
                        })}};
    if (name == "results-not-a-multiple-of-4")
        return mount_says(Bytes{0, 0, 0, 0, 0, 0});
    if (name == "wrong-xid")
        return mount_says(mnt_ok(), header(1));
    if (name == "not-a-reply")
        return mount_says(mnt_ok(), header(0, 0));
    if (name == "denied")
        return mount_says(mnt_ok(), header(0, 1, 1));
    if (name == "rejected")
        return mount_says(mnt_ok(), header(0, 1, 0, 1));
    if (name == "mount-eacces")
        return mount_says(words({13}));
    if (name == "mount-nonzero")
        return mount_says(words({2}));
    if (name == "portmap-zero")
        return refused(reply(words({0})));
    if (name == "portmap-too-big")
        return refused(reply(words({65536})));
    if (name == "portmap-rejected")
        return refused(reply(words({port}), header(0, 1, 0, 2)));
    if (name == "portmap-empty")
        return refused(reply(Bytes()));
    if (name == "read-fails") {
        Scenario s = sound(port, false);   // get
        s.service[3] = reply(words({5}));  // the second READ: NFS3ERR_IO
        return s;
    }
    if (name == "read-fails-past-piece") {
        // READs fill a whole piece of the client's file and go one reply past it, then fail.
        Scenario s = sound(port, false);
        s.service.resize(2);  // MNT, LOOKUP
        const std::size_t full = FileContents::default_piece_size / 32768 + 1;
        for (std::size_t i = 0; i < full; ++i) {
            s.service.push_back(reply(read_ok(static_cast<std::uint32_t>(i), 32768, false)));
        }
        s.service.push_back(reply(words({5})));
        return s;
    }
    if (name == "endless-get") {
        // 64 MiB of READs before eof: more than a client held to 48 MiB of memory can keep.
        Scenario s = sound(port, false);
        s.service.resize(2);  // MNT, LOOKUP
        constexpr std::uint32_t reads = 2048;
        for (std::uint32_t i = 0; i < reads; ++i) {
            s.service.push_back(reply(read_ok(i, 32768, i + 1 == reads)));
        }
        return s;
    }
    if (name == "paced-get" || name == "paced-get-lying") {
        // A copy to watch: 60 READs, 40 ms apart, whose attributes give the file's size; the
        // liar's claim 100000 bytes.
        constexpr std::uint32_t reads = 60;
        Scenario s = sound(port, false);
        s.service.resize(2);  // MNT, LOOKUP
        const std::uint64_t said = name == "paced-get" ? std::uint64_t{reads} * 32768 : 100000;
        for (std::uint32_t i = 0; i < reads; ++i) {
            s.service.push_back(paced(reply(read_ok(i, 32768, i + 1 == reads, said))));
        }
        return s;
    }
    if (name == "readdir-stuck") {
        Scenario s = sound(port, true);
        s.service = {reply(mnt_ok()), reply(readdir_page(1, 2, false)),
                     reply(readdir_page(1, 2, false))};
        return s;
    }
    if (name == "readdir-empty-page") {
        Scenario s = sound(port, true);
        s.service = {reply(mnt_ok()), reply(readdir_page(1, 0, false))};
        return s;
    }
    throw Error("unknown scenario " + name);
}

int run(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: hostile_server SCENARIO | hostile_server mutate SEED\n";
        return 2;
    }
    const std::string name = argv[1];
    const std::uint32_t seed = argc > 2 ? static_cast<std::uint32_t>(std::stoul(argv[2])) : 0;
    const auto make = [&](std::uint16_t port) {
        return name == "mutate" ? mutated(port, seed) : named(name, port);
    };
    // Only the portmapper's replies name the service's port, so the service can start first.
    ScriptedServer service(make(0).service);
    const Scenario scenario = make(service.port());
    ScriptedServer portmap(scenario.portmap, 111);
    std::cout << "ready " << service.port() << (scenario.listing ? " ls" : " get") << std::endl;
    std::string line;
    std::getline(std::cin, line);
    for (const ScriptedServer* server : {&portmap, &service}) {
        for (const Bytes& record : server->calls()) {
            try {
                const RpcCall call = parse_call(record);
                std::cout << call.prog << " " << call.proc << "\n";
            } catch (const Error&) {
                std::cout << "unparsable " << record.size() << "\n";
            }
        }
    }
    std::cout.flush();
    return 0;
}

}  // namespace
}  // namespace tamber::test

int main(int argc, char** argv) { return tamber::test::run(argc, argv); }
