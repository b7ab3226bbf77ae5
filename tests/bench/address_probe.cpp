// How much memory a process can hold in blocks of one size, as the file of `get` holds it: each
// block reserved with std::vector::reserve, never touched. For scripts/bench --largest, which
// builds it as a 32-bit Windows program (tests/bench.cmake) and runs it under wine with and
// without the large-address-aware flag, to show how large a file each piece size allows.
//
// Usage: address_probe MIB...   prints "<MiB per block> <MiB held>" per size
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::size_t mib = std::strtoul(argv[i], nullptr, 10);
        std::vector<std::vector<unsigned char>> blocks;
        try {
            for (;;) {
                blocks.emplace_back();
                blocks.back().reserve(mib << 20);
            }
        } catch (const std::bad_alloc&) {
            blocks.pop_back();
        }
        std::printf("%zu %zu\n", mib, blocks.size() * mib);
    }
    return 0;
}
