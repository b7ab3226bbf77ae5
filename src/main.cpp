#include "main.h"

#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

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

void usage() {
    std::cerr << "Tamberline v0.1\n";
    std::cerr << "Usage:\n";
    std::cerr << "  tamberline ls  <server> <export> <path>\n";
    std::cerr << "  tamberline get <server> <export> <remote-path> <local-file>\n";
    std::cerr << "\n";
    std::cerr << "Example:\n";
    std::cerr << "  tamberline ls 192.168.1.10 /srv/velmo /\n";
    std::cerr << "  tamberline get 192.168.1.10 /srv/velmo /README.TXT README.TXT\n";
}

// A listing or a count line that never reached its destination is a failure, not a success.
void flush_stdout() {
    std::cout.flush();
    if (!std::cout) {
        throw Error("could not write standard output");
    }
}

void list_directory(NfsClient& client, const FileHandle& root, const std::string& path) {
    const FileHandle dir = resolve_path(client, root, path);
    const std::vector<DirEntry> entries = client.readdir(dir);
    for (const DirEntry& e : entries) {
        std::cout << e.name << '\n';
    }
    flush_stdout();
}

void copy_file(NfsClient& client, const FileHandle& root, const std::string& path,
               const char* local_name) {
    const FileHandle file = resolve_path(client, root, path);
    const FileContents contents = client.read_all(file);
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
    std::cout << "wrote " << contents.size() << " bytes\n";
    flush_stdout();
}

int run_command(int argc, char** argv) {
    const std::string command = argv[1];
    const std::string server = argv[2];
    const std::string export_path = argv[3];
    const std::string path = argv[4];

    RpcIdentity identity;
    identity.machinename = "tamberline";
    identity.uid = 65534;
    identity.gid = 65534;

    const FileHandle root = mount_export(server, export_path, identity);
    const std::uint16_t nfs_port = portmap_get_tcp_port(server, nfs_prog, nfs_vers);
    NfsClient client(server, nfs_port, identity);

    if (command == "ls") {
        list_directory(client, root, path);
        return 0;
    }
    if (command == "get" && argc != 5) {
        copy_file(client, root, path, argv[5]);
        return 0;
    }
    usage();
    return 2;
}

}  // namespace

int run(int argc, char** argv) {
    int status = 0;
    try {
        const SocketSystem sockets;
        if (argc <= 4) {
            usage();
            status = 2;
        } else {
            status = run_command(argc, argv);
        }
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << "\n";
        status = 1;
    }
    return status;
}

}  // namespace tamber

int main(int argc, char** argv) { return tamber::run(argc, argv); }
