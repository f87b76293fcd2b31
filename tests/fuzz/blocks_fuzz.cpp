// libFuzzer target for the block operations: the first byte picks the data's offset from an 8-byte
// boundary, the rest is the data. On each path the processor can take, the multi-block form equals
// the single-block operation, each direction undoes the other in both forms, and nothing outside
// the whole blocks changes (tail and guard bytes; AddressSanitizer catches any access beyond).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "block_path.h"
#include "blowfish.h"

namespace {

void require(bool holds) {
    if (!holds) std::abort();
}

void single_blocks(std::uint8_t* (*operation)(std::uint8_t*), std::uint8_t* position, std::uint32_t count) {
    for (std::uint32_t n = 0; n < count; ++n, position += 8) require(operation(position) == position + 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    constexpr std::size_t guard = 24;
    const std::size_t start = guard + data[0] % 8;
    const std::size_t length = size - 1;
    const auto count = static_cast<std::uint32_t>(length / 8);
    // guard | alignment filler | data | guard, the filler and guards a pattern unlike the data.
    std::vector<std::uint8_t> original(start + length + guard);
    for (std::size_t i = 0; i < original.size(); ++i) original[i] = static_cast<std::uint8_t>(0xA5 ^ (i * 29));
    std::copy_n(data + 1, length, original.data() + start);
    const std::size_t end = start + std::size_t{count} * 8;
    for (const auto& [path, name] : blowfish::all_paths) {
        if (!blowfish::force_path(path)) continue;
        std::vector<std::uint8_t> multi = original;
        std::vector<std::uint8_t> single = original;
        encrypt_blocks(multi.data() + start, count);
        single_blocks(encrypt_block, single.data() + start, count);
        require(multi == single);
        require(std::memcmp(multi.data(), original.data(), start) == 0);
        require(std::memcmp(multi.data() + end, original.data() + end, original.size() - end) == 0);
        decrypt_blocks(multi.data() + start, count);
        single_blocks(decrypt_block, single.data() + start, count);
        require(multi == original && single == original);
        decrypt_blocks(multi.data() + start, count);
        single_blocks(decrypt_block, single.data() + start, count);
        require(multi == single);
        encrypt_blocks(multi.data() + start, count);
        require(multi == original);
    }
    blowfish::force_path(blowfish::processor_path());
    return 0;
}
