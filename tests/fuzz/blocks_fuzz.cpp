// libFuzzer target for the block operations. The first byte picks where the data starts relative
// to an 8-byte boundary; the rest is the data, of any length. Checked for every input:
// - the multi-block form and the single-block operation, block by block, give the same bytes, on
//   each path of the multi-block form: byte-sliced (x86-64 with AVX-512 VBMI) and scalar groups;
// - decrypting undoes encrypting, and encrypting undoes decrypting, in both forms;
// - nothing outside the whole blocks changes: neither the 0 to 7 tail bytes nor guard bytes on
//   either side (AddressSanitizer catches any access past the buffer itself).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "blowfish.h"
#include "byte_sliced_blocks.h"

namespace {

constexpr std::size_t guard = 24;

void require(bool holds) {
    if (!holds) std::abort();
}

void single_blocks(std::uint8_t* (*operation)(std::uint8_t*), std::uint8_t* first, std::uint32_t count) {
    std::uint8_t* position = first;
    for (std::uint32_t n = 0; n < count; ++n) {
        std::uint8_t* const next = operation(position);
        require(next == position + 8);
        position = next;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t alignment = data[0] % 8;
    const std::uint8_t* const content = data + 1;
    const std::size_t length = size - 1;
    const auto count = static_cast<std::uint32_t>(length / 8);
    const std::size_t whole = std::size_t{count} * 8;

    // guard | alignment filler | data | guard, the filler and guards a pattern unlike the data.
    std::vector<std::uint8_t> original(guard + alignment + length + guard);
    for (std::size_t i = 0; i < original.size(); ++i) original[i] = static_cast<std::uint8_t>(0xA5 ^ (i * 29));
    const std::size_t start = guard + alignment;
    if (length != 0) std::memcpy(original.data() + start, content, length);

    // On x86-64 the second pass forces the scalar groups; elsewhere it repeats the only path.
    for (const bool scalar_forced : {false, true}) {
#ifdef BLOWFISH_BYTE_SLICED
        blowfish::force_scalar_groups(scalar_forced);
#else
        (void)scalar_forced;
#endif
        std::vector<std::uint8_t> multi = original;
        std::vector<std::uint8_t> single = original;
        encrypt_blocks(multi.data() + start, count);
        single_blocks(encrypt_block, single.data() + start, count);
        require(multi == single);
        require(std::memcmp(multi.data(), original.data(), start) == 0);
        require(std::memcmp(multi.data() + start + whole, original.data() + start + whole, original.size() - start - whole) == 0);

        decrypt_blocks(multi.data() + start, count);
        single_blocks(decrypt_block, single.data() + start, count);
        require(multi == original);
        require(single == original);

        decrypt_blocks(multi.data() + start, count);
        single_blocks(decrypt_block, single.data() + start, count);
        require(multi == single);
        encrypt_blocks(multi.data() + start, count);
        require(multi == original);
    }
#ifdef BLOWFISH_BYTE_SLICED
    blowfish::force_scalar_groups(false);
#endif
    return 0;
}
