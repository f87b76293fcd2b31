// The AVX2 gather form against the single-block operations, on processors that have AVX2.
#include "gather_blocks.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "block_agreement.h"
#include "blowfish.h"

namespace {

using namespace block_agreement;

TEST(GatherBlocks, EncryptEqualsSingleBlocksAtEveryCountAndAlignment) {
    if (!blowfish::gather_supported()) GTEST_SKIP() << "no AVX2 on this processor";
    std::uint32_t seed = 5;
    for (std::uint32_t count : counts_to_try(blowfish::gather_group_blocks))
        for (std::size_t offset = 0; offset < 8; ++offset)
            expect_walk_equals_singles(blowfish::encrypt_blocks_gather, encrypt_block, count, offset, seed++);
}

TEST(GatherBlocks, DecryptEqualsSingleBlocksAtEveryCountAndAlignment) {
    if (!blowfish::gather_supported()) GTEST_SKIP() << "no AVX2 on this processor";
    std::uint32_t seed = 5000;
    for (std::uint32_t count : counts_to_try(blowfish::gather_group_blocks))
        for (std::size_t offset = 0; offset < 8; ++offset)
            expect_walk_equals_singles(blowfish::decrypt_blocks_gather, decrypt_block, count, offset, seed++);
}

}  // namespace
