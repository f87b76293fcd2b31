// The decryption direction, in a translation unit of its own (see block_operations.h).
#include "block_operations.h"

std::uint8_t* decrypt_block(std::uint8_t* position) { return blowfish::blocks_at<blowfish::direction::decrypt>(position); }

void decrypt_blocks(std::uint8_t* first, std::uint32_t count) {
    blowfish::walk_blocks<blowfish::direction::decrypt>(first, count);
}
