// The encryption direction, in a translation unit of its own (see block_operations.h).
#include "block_operations.h"

std::uint8_t* encrypt_block(std::uint8_t* position) { return blowfish::blocks_at<blowfish::direction::encrypt>(position); }

void encrypt_blocks(std::uint8_t* first, std::uint32_t count) {
    blowfish::walk_blocks<blowfish::direction::encrypt>(first, count);
}
