// The multi-block operations against the single-block ones they must equal: every block count
// around the group and slice boundaries, buffers at every alignment, and no byte outside the blocks
// touched. On x86-64 each case runs on both paths: the byte-sliced one (where the processor has
// AVX-512 VBMI) and the scalar groups, forced. Built for the host and, with -m32, for i386
// (tests/i386), so both code generations of the scalar groups are checked.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "blowfish.h"
#include "blowfish_rounds.h"
#include "byte_sliced_blocks.h"
#include "random_bytes.h"

#ifdef MULTI_BLOCK_OPENSSL_ORACLE
#include <openssl/blowfish.h>

#include "configured_key.h"
#endif

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

// Every count up to four slices of 64 blocks and 8 more (so every mix of slices, groups of 8 and
// single blocks), then a few large ones.
std::vector<std::uint32_t> counts_to_try() {
    std::vector<std::uint32_t> counts;
    for (std::uint32_t c = 0; c <= 4 * blowfish::slice_blocks + 8; ++c) counts.push_back(c);
    for (std::uint32_t c : {1000u, 4099u, 65536u + 71u}) counts.push_back(c);
    return counts;
}

enum class path { byte_sliced, scalar_groups };

std::string path_name(const testing::TestParamInfo<path>& info) {
    return info.param == path::byte_sliced ? "ByteSliced" : "ScalarGroups";
}

void PrintTo(path p, std::ostream* out) { *out << (p == path::byte_sliced ? "byte-sliced" : "scalar groups"); }

class MultiBlock : public testing::TestWithParam<path> {
protected:
    void SetUp() override {
#ifdef BLOWFISH_BYTE_SLICED
        blowfish::force_scalar_groups(GetParam() == path::scalar_groups);
        if (GetParam() == path::byte_sliced && !blowfish::byte_sliced_chosen())
            GTEST_SKIP() << "this processor or system lacks AVX-512 F, BW or VBMI";
#else
        if (GetParam() == path::byte_sliced) GTEST_SKIP() << "the byte-sliced path is built for x86-64 only";
#endif
    }

    void TearDown() override {
#ifdef BLOWFISH_BYTE_SLICED
        blowfish::force_scalar_groups(false);
#endif
    }
};

INSTANTIATE_TEST_SUITE_P(Paths, MultiBlock, testing::Values(path::byte_sliced, path::scalar_groups), path_name);

TEST_P(MultiBlock, EncryptEqualsSingleBlocksAtEveryCountAndAlignment) {
    std::uint32_t seed = 1;
    for (std::uint32_t count : counts_to_try())
        for (std::size_t offset = 0; offset < 8; ++offset)
            expect_walk_equals_singles(encrypt_blocks, encrypt_block, count, offset, seed++);
}

TEST_P(MultiBlock, DecryptEqualsSingleBlocksAtEveryCountAndAlignment) {
    std::uint32_t seed = 1000;
    for (std::uint32_t count : counts_to_try())
        for (std::size_t offset = 0; offset < 8; ++offset)
            expect_walk_equals_singles(decrypt_blocks, decrypt_block, count, offset, seed++);
}

TEST_P(MultiBlock, DecryptUndoesEncryptOverAMegabyteAtAnOddAddress) {
    const auto original = random_bytes((1u << 20) + 1, 77);
    auto data = original;
    const auto count = static_cast<std::uint32_t>((data.size() - 1) / 8);
    encrypt_blocks(data.data() + 1, count);
    EXPECT_NE(data, original);
    decrypt_blocks(data.data() + 1, count);
    EXPECT_EQ(data, original);
}

#ifdef MULTI_BLOCK_OPENSSL_ORACLE
// BF_ecb_encrypt is deprecated in OpenSSL 3 in favour of EVP; as an oracle the plain call will do.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
TEST_P(MultiBlock, EqualsOpenSslOnEightMegabytesAndSomeBlocks) {
    const auto original = random_bytes((8u << 20) + 8 * 37 + 5, 4242);
    const auto count = static_cast<std::uint32_t>(original.size() / 8);
    BF_KEY key{};
    BF_set_key(&key, static_cast<int>(blowfish::configured_key.size()), blowfish::configured_key.data());
    auto expected = original;
    for (std::size_t at = 0; at + 8 <= expected.size(); at += 8)
        BF_ecb_encrypt(expected.data() + at, expected.data() + at, &key, BF_ENCRYPT);

    auto data = original;
    encrypt_blocks(data.data(), count);
    ASSERT_EQ(data, expected);
    decrypt_blocks(data.data(), count);
    EXPECT_EQ(data, original);
}
#pragma GCC diagnostic pop
#endif

// The path is chosen from the processor as GCC's own CPU check (which also reads XCR0) sees it:
// guards against a check that quietly never takes the byte-sliced path, or takes it wrongly.
TEST(MultiBlockChoice, TakesTheByteSlicedPathExactlyWhereTheProcessorHasVbmi) {
#ifdef BLOWFISH_BYTE_SLICED
    __builtin_cpu_init();
    const bool vbmi = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512vbmi");
    EXPECT_EQ(blowfish::byte_sliced_chosen(), vbmi);
    blowfish::force_scalar_groups(true);
    EXPECT_FALSE(blowfish::byte_sliced_chosen());
    blowfish::force_scalar_groups(false);
    EXPECT_EQ(blowfish::byte_sliced_chosen(), vbmi);
#else
    GTEST_SKIP() << "the byte-sliced path is built for x86-64 only";
#endif
}

}  // namespace
