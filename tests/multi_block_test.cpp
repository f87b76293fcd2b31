// The multi-block operations against the single-block ones they must equal: every block count
// around the group and slice boundaries, buffers at every alignment, and no byte outside the blocks
// touched. Each case runs on every path the processor can take, forced in turn: the byte-sliced
// kernel in both its forms (x86-64 with AVX-512 VBMI) and the scalar groups. Built for the host
// and, with -m32, for i386 (tests/i386), so both code generations of the scalar groups are checked;
// also run under an emulated x86-64 processor without AVX-512 (tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "block_path.h"
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

// Every count up to eight slices of 64 blocks and 8 more (so every mix of slices taken four at
// once, slices taken alone, groups of 8 and single blocks), then a few large ones.
std::vector<std::uint32_t> counts_to_try() {
    std::vector<std::uint32_t> counts;
    for (std::uint32_t c = 0; c <= 8 * blowfish::slice_blocks + 8; ++c) counts.push_back(c);
    for (std::uint32_t c : {1000u, 4099u, 65536u + 71u}) counts.push_back(c);
    return counts;
}

using blowfish::block_path;

const char* name_of(block_path path) {
    switch (path) {
    case block_path::byte_sliced_quarters: return "ByteSlicedQuarters";
    case block_path::byte_sliced_halves: return "ByteSlicedHalves";
    case block_path::scalar_groups: break;
    }
    return "ScalarGroups";
}

std::string path_name(const testing::TestParamInfo<block_path>& info) { return name_of(info.param); }

}  // namespace

namespace blowfish {
void PrintTo(block_path path, std::ostream* out) { *out << name_of(path); }
}  // namespace blowfish

namespace {

class MultiBlock : public testing::TestWithParam<block_path> {
protected:
    void SetUp() override {
        if (!blowfish::force_path(GetParam()))
            GTEST_SKIP() << "this processor or system cannot run " << name_of(GetParam())
                         << " (x86-64 with AVX-512 F, BW and VBMI only)";
    }

    void TearDown() override { blowfish::force_path(blowfish::processor_path()); }
};

INSTANTIATE_TEST_SUITE_P(Paths, MultiBlock,
                         testing::Values(block_path::byte_sliced_quarters, block_path::byte_sliced_halves,
                                         block_path::scalar_groups),
                         path_name);

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
// guards against a check that quietly never takes the byte-sliced path, takes it wrongly, or takes
// the other form. Where the tests run under an emulated processor, MULTI_BLOCK_EXPECTED_PATH names
// the path that processor must get, so that a check which wrongly says yes there fails too.
TEST(MultiBlockChoice, TakesTheByteSlicedFormOfTheProcessorsMakerExactlyWhereItHasVbmi) {
    block_path expected = block_path::scalar_groups;
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool vbmi = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512vbmi");
    if (vbmi) expected = __builtin_cpu_is("amd") ? block_path::byte_sliced_halves : block_path::byte_sliced_quarters;
#endif
    EXPECT_STREQ(name_of(blowfish::processor_path()), name_of(expected));
    EXPECT_STREQ(name_of(blowfish::chosen_path()), name_of(expected));
    if (const char* told = std::getenv("MULTI_BLOCK_EXPECTED_PATH")) {
        EXPECT_STREQ(name_of(blowfish::processor_path()), told);
    }

    const bool sliced = expected != block_path::scalar_groups;
    for (block_path path : {block_path::byte_sliced_quarters, block_path::byte_sliced_halves}) {
        EXPECT_EQ(blowfish::force_path(path), sliced) << name_of(path);
        EXPECT_STREQ(name_of(blowfish::chosen_path()), name_of(sliced ? path : expected));
    }
    EXPECT_TRUE(blowfish::force_path(block_path::scalar_groups));
    EXPECT_STREQ(name_of(blowfish::chosen_path()), "ScalarGroups");
    EXPECT_TRUE(blowfish::force_path(blowfish::processor_path()));
    EXPECT_STREQ(name_of(blowfish::chosen_path()), name_of(expected));
}

}  // namespace
