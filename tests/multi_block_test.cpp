// The multi-block operations against the single-block ones they must equal: every block count
// around the group boundaries, buffers at every alignment, and no byte outside the blocks touched.
// Built for the host and, with -m32, for i386 (tests/i386), so both code generations are checked.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "block_agreement.h"
#include "blowfish.h"
#include "blowfish_rounds.h"

namespace {

using namespace block_agreement;

TEST(MultiBlock, EncryptEqualsSingleBlocksAtEveryCountAndAlignment) {
    std::uint32_t seed = 1;
    for (std::uint32_t count : counts_to_try(blowfish::group_blocks))
        for (std::size_t offset = 0; offset < 8; ++offset)
            expect_walk_equals_singles(encrypt_blocks, encrypt_block, count, offset, seed++);
}

TEST(MultiBlock, DecryptEqualsSingleBlocksAtEveryCountAndAlignment) {
    std::uint32_t seed = 1000;
    for (std::uint32_t count : counts_to_try(blowfish::group_blocks))
        for (std::size_t offset = 0; offset < 8; ++offset)
            expect_walk_equals_singles(decrypt_blocks, decrypt_block, count, offset, seed++);
}

TEST(MultiBlock, DecryptUndoesEncryptOverAMegabyteAtAnOddAddress) {
    const auto original = random_bytes((1u << 20) + 1, 77);
    auto data = original;
    const auto count = static_cast<std::uint32_t>((data.size() - 1) / 8);
    encrypt_blocks(data.data() + 1, count);
    EXPECT_NE(data, original);
    decrypt_blocks(data.data() + 1, count);
    EXPECT_EQ(data, original);
}

// Guards against a change that quietly falls back to one block at a time on some target.
TEST(MultiBlock, InterleavesTheChosenGroupOnX86) {
#if defined(__i386__)
    EXPECT_EQ(blowfish::group_blocks, 4u);
#elif defined(__x86_64__)
    EXPECT_EQ(blowfish::group_blocks, 8u);
#else
    EXPECT_GE(blowfish::group_blocks, 2u);
#endif
}

}  // namespace
