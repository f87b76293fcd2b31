// The body of the block operations of both directions, written once. encrypt_block.cpp and
// decrypt_block.cpp each instantiate one direction, so that each program links only its own.
#pragma once

#include "blowfish.h"
#include "blowfish_rounds.h"
#include "byte_sliced_blocks.h"
#include "subkey_schedule.h"

namespace blowfish {

enum class direction { encrypt, decrypt };

// n blocks from position side by side (one by default); returns the position after them.
template <direction way, unsigned n = 1>
BLOWFISH_INLINE_GROUP std::uint8_t* blocks_at(std::uint8_t* position) {
    constexpr const std::uint32_t* s_boxes = subkey_schedule.data();
    constexpr const std::uint32_t* p_rest = subkey_schedule.data() + sbox_words;
    if constexpr (way == direction::encrypt) return encrypt_at<n>(s_boxes, p_rest, subkey_p0, subkey_p1, position);
    else return decrypt_at<n>(s_boxes, p_rest, subkey_p0, subkey_p1, position);
}

// Slices of 64 blocks byte-sliced where the processor can, then whole groups with their rounds
// interleaved, then the last few blocks one at a time.
template <direction way>
BLOWFISH_INLINE_GROUP void walk_blocks(std::uint8_t* first, std::uint32_t count) {
#ifdef BLOWFISH_BYTE_SLICED
    if (count >= slice_blocks && chosen_path() != block_path::scalar_groups) {
        if constexpr (way == direction::encrypt) first = encrypt_on_path(chosen_path(), first, count / slice_blocks);
        else first = decrypt_on_path(chosen_path(), first, count / slice_blocks);
        count %= slice_blocks;
    }
#endif
    for (std::uint32_t groups = count / group_blocks; groups != 0; --groups) first = blocks_at<way, group_blocks>(first);
    for (count %= group_blocks; count != 0; --count) first = blocks_at<way>(first);
}

}  // namespace blowfish
