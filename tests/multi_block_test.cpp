// The multi-block operations against the single-block ones they must equal: every block count
// around the group boundaries, buffers at every alignment, and no byte outside the blocks touched.
// Built for the host and, with -m32, for i386 (tests/i386), so both code generations are checked.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "blowfish.h"
#include "blowfish_rounds.h"
#include "random_bytes.h"

namespace {

using walk = void (*)(std::uint8_t*, std::uint32_t);
using single = std::uint8_t* (*)(std::uint8_t*);

constexpr std::size_t guard = 16;

// Transforms count blocks at offset in a copy of data with the walk and with the single-block
// operation, then compares the whole buffers, guards included.
void expect_walk_equals_singles(walk transform_blocks, single transform_block, std::uint32_t count, std::size_t offset,
                                std::uint32_t seed) {
    const auto original = random_bytes(guard + offset + 8 * std::size_t{count} + guard, seed);
    auto by_walk = original;
    auto by_single = original;

    transform_blocks(by_walk.data() + guard + offset, count);
    std::uint8_t* at = by_single.data() + guard + offset;
    for (std::uint32_t i = 0; i < count; ++i) at = transform_block(at);

    ASSERT_EQ(by_walk, by_single) << "count " << count << ", offset " << offset;
    if (count != 0) {
        EXPECT_NE(by_walk, original) << "count " << count << ": nothing transformed";
    }
}

std::vector<std::uint32_t> counts_to_try(std::uint32_t group) {
    std::vector<std::uint32_t> counts;
    for (std::uint32_t c = 0; c <= 4 * group + 3; ++c) counts.push_back(c);
    for (std::uint32_t c : {61u, 64u, 127u, 128u, 129u, 255u, 1000u, 4099u}) counts.push_back(c);
    return counts;
}

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

}  // namespace
