#include "main.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "error.h"
#include "mount.h"
#include "nfs.h"
#include "portmap.h"
#include "rpc.h"
#include "socket.h"

namespace tamber {
namespace {

constexpr std::uint32_t nfs_prog = 100003;
constexpr std::uint32_t nfs_vers = 3;

void usage(Console& console) {
    const char* const lines[] = {
        "Tamberline v0.1",
        "Usage:",
        "  tamberline ls  <server> <export> <path>",
        "  tamberline get <server> <export> <remote-path> <local-file>",
        "",
        "Example:",
        "  tamberline ls 192.168.1.10 /srv/velmo /",
        "  tamberline get 192.168.1.10 /srv/velmo /README.TXT README.TXT",
    };
    for (const char* line : lines) {
        console.line(Stream::err, line);
    }
}

// A console made for the program alone, as Explorer makes one for a double-click, closes as the
// program ends: the usage text stays up until a key is pressed, so that it can be read.
void hold_lone_console(Console& console, int arguments) {
    if (!holds_console_window(arguments, Console::console_processes(),
                              console.streams_on_console())) {
        return;
    }
    console.line(Stream::err,
                 "This is a command-line program: run it from Command Prompt or PowerShell.");
    Console::wait_for_key(std::chrono::seconds(60));
}

// A listing or a count line that never reached its destination is a failure, not a success:
// every path to standard output ends in Console::flush_out.
void list_directory(Console& console, NfsClient& client, const FileHandle& root,
                    const std::string& path) {
    const FileHandle dir = resolve_path(client, root, path);
    const std::vector<DirEntry> entries = client.readdir(dir);
    for (const DirEntry& e : entries) {
        console.line(Stream::out, e.name);
    }
    console.flush_out();
}

// A byte count for people: "512 B", "31.5 KiB", "1.2 GiB".
std::string amount(double bytes) {
    const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

// Keeps one status line current on a terminal while a copy runs, once it has run for about a
// second: the bytes so far, the share of the total where the server gave one, and the rate.
class Progress {
public:
    explicit Progress(Console& console) : console(console), start(Clock::now()) {}

    // The bytes received so far and the size the server gave, if any; a few updates a second.
    void received(std::uint64_t bytes, std::optional<std::uint64_t> total) {
        if (!console.has_status_line()) {
            return;
        }
        const Clock::time_point now = Clock::now();
        if (shown && now - last < update_interval) {
            return;
        }
        show(now, bytes, total, "");
    }

    // The copy has arrived and is being written to the local file, which may take seconds.
    void writing(std::uint64_t bytes) {
        if (console.has_status_line()) {
            show(Clock::now(), bytes, std::nullopt, ", writing the local file");
        }
    }

private:
    using Clock = StatusClock;
    static constexpr std::chrono::milliseconds quiet_start{1000};
    static constexpr std::chrono::milliseconds update_interval{250};

    void show(Clock::time_point now, std::uint64_t bytes, std::optional<std::uint64_t> total,
              const char* tail) {
        if (now - start < quiet_start) {
            return;
        }
        std::string text = amount(static_cast<double>(bytes));
        // The size in the attributes is only a hint: once the bytes pass it, a share would lie.
        if (total && *total > 0 && bytes <= *total) {
            const auto share = static_cast<unsigned>(static_cast<double>(bytes) * 100 /
                                                     static_cast<double>(*total));
            text +=
                " of " + amount(static_cast<double>(*total)) + " (" + std::to_string(share) + "%)";
        }
        const double seconds = std::chrono::duration<double>(now - start).count();
        text += ", " + amount(static_cast<double>(bytes) / seconds) + "/s" + tail;
        console.status(text);
        shown = true;
        last = now;
    }

    Console& console;
    Clock::time_point start;
    Clock::time_point last;
    bool shown = false;
};

// `local_name` stays in the platform's own form, so that any name the system allows can be made.
// The file is opened only once the whole remote file has arrived: a failure before leaves it as
// it was.
void copy_file(Console& console, NfsClient& client, const FileHandle& root, const std::string& path,
               const NativeChar* local_name) {
    const FileHandle file = resolve_path(client, root, path);
    Progress progress(console);
    ReadCursor cursor(client, file);
    while (cursor.step()) {
        progress.received(cursor.received(), cursor.size_hint());
    }
    const FileContents contents = cursor.take();
    progress.writing(contents.size());
    std::ofstream out(local_name, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!out) {
        throw Error("could not open local output file");
    }
    // One write per piece, in order; pieces are never empty.
    for (const Bytes& piece : contents.pieces()) {
        if (!out.write(reinterpret_cast<const char*>(piece.data()),
                       static_cast<std::streamsize>(piece.size()))) {
            break;
        }
    }
    // Closed before the count is printed: a close that fails must not follow a success line.
    out.close();
    if (!out) {
        throw Error("could not write local output file");
    }
    console.line(Stream::out, "wrote " + std::to_string(contents.size()) + " bytes");
    console.flush_out();
}

int run_command(Console& console, int argc, NativeChar** argv) {
    const std::string command = argument_text(argv[1]);
    const std::string server = argument_text(argv[2]);
    const std::string export_path = argument_text(argv[3]);
    const std::string path = argument_text(argv[4]);

    RpcIdentity identity;
    identity.machinename = "tamberline";
    identity.uid = 65534;
    identity.gid = 65534;

    const FileHandle root = mount_export(server, export_path, identity);
    const std::uint16_t nfs_port = portmap_get_tcp_port(server, nfs_prog, nfs_vers);
    NfsClient client(server, nfs_port, identity);

    if (command == "ls") {
        list_directory(console, client, root, path);
        return 0;
    }
    if (command == "get" && argc != 5) {
        copy_file(console, client, root, path, argv[5]);
        return 0;
    }
    usage(console);
    return 2;
}

}  // namespace

int run(int argc, NativeChar** argv) {
    // Outlives the socket library and every object of the run, for the error line.
    Console console;
    int status = 0;
    try {
        const SocketSystem sockets;
        if (argc <= 4) {
            usage(console);
            hold_lone_console(console, argc - 1);
            status = 2;
        } else {
            status = run_command(console, argc, argv);
        }
    } catch (const std::exception& e) {
        console.line(Stream::err, std::string("error: ") + e.what());
        status = 1;
    }
    return status;
}

}  // namespace tamber

#ifdef _WIN32
// Built with -municode: the command line arrives as UTF-16, whatever the ANSI code page.
int wmain(int argc, wchar_t** argv) { return tamber::run(argc, argv); }
#else
int main(int argc, char** argv) { return tamber::run(argc, argv); }
#endif
