// The encryption direction. Encryption and decryption are separate translation units so that each
// program links only its own direction from the cipher library.
#include "blowfish.h"
#include "blowfish_rounds.h"
#include "byte_sliced_blocks.h"
#include "subkey_schedule.h"

namespace {
constexpr const std::uint32_t* s_boxes = subkey_schedule.data();
constexpr const std::uint32_t* p_rest = subkey_schedule.data() + blowfish::sbox_words;
}  // namespace

std::uint8_t* encrypt_block(std::uint8_t* position) {
    return blowfish::encrypt_at(s_boxes, p_rest, blowfish::subkey_p0, blowfish::subkey_p1, position);
}

// Slices of 64 blocks byte-sliced where the processor can, then whole groups with their rounds
// interleaved, then the last few blocks one at a time.
void encrypt_blocks(std::uint8_t* first, std::uint32_t count) {
#ifdef BLOWFISH_BYTE_SLICED
    if (count >= blowfish::slice_blocks && blowfish::chosen_path() != blowfish::block_path::scalar_groups) {
        first = blowfish::encrypt_slices(blowfish::chosen_path(), first, count / blowfish::slice_blocks);
        count %= blowfish::slice_blocks;
    }
#endif
    constexpr std::uint32_t n = blowfish::group_blocks;
    for (std::uint32_t groups = count / n; groups != 0; --groups)
        first = blowfish::encrypt_at<n>(s_boxes, p_rest, blowfish::subkey_p0, blowfish::subkey_p1, first);
    for (count %= n; count != 0; --count) first = encrypt_block(first);
}
