#include "blowfish.h"
#include "blowfish_groups.h"
#include "byte_sliced_blocks.h"
#include "group_size.h"
#include "product_schedule.h"

namespace {
constexpr std::uint32_t p0 = blowfish::product_schedule.p0;
constexpr std::uint32_t p1 = blowfish::product_schedule.p1;
}  // namespace

std::uint8_t* encrypt_block(std::uint8_t* position) {
    return blowfish::encrypt_at(subkey_schedule.data(), subkey_schedule.data() + 1024, p0, p1, position);
}

// Slices of 64 blocks byte-sliced where the processor can, then whole groups with their rounds
// interleaved, then the last few blocks one at a time.
void encrypt_blocks(std::uint8_t* first, std::uint32_t count) {
#ifdef BLOWFISH_BYTE_SLICED
    if (count >= blowfish::slice_blocks && blowfish::byte_sliced_chosen()) {
        first = blowfish::encrypt_slices(first, count / blowfish::slice_blocks);
        count %= blowfish::slice_blocks;
    }
#endif
    constexpr std::uint32_t n = blowfish::group_blocks;
    for (std::uint32_t groups = count / n; groups != 0; --groups)
        first = blowfish::encrypt_group<n>(subkey_schedule.data(), subkey_schedule.data() + 1024, p0, p1, first);
    for (count %= n; count != 0; --count) first = encrypt_block(first);
}
