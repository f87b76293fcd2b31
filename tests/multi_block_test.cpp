// The schedule and single blocks against OpenSSL's Blowfish under the configured key, and the
// multi-block operations against the single-block ones at every block count around the group and
// slice boundaries and every alignment, no byte outside the blocks touched, on every path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>

#include "block_path.h"
#include "blowfish.h"
#include "byte_sliced_blocks.h"
#include "random_bytes.h"

#ifdef HAVE_OPENSSL
#include <openssl/blowfish.h>

#include "configured_key.h"
#include "subkey_schedule.h"
// BF_* is deprecated in OpenSSL 3 in favour of EVP, whose Blowfish needs the legacy provider; the
// plain key structure is what lets the schedule be compared word for word.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

namespace blowfish {
void PrintTo(const named_path& path, std::ostream* out) { *out << path.name; }
}  // namespace blowfish

namespace {

using walk = void (*)(std::uint8_t*, std::uint32_t);
using single = std::uint8_t* (*)(std::uint8_t*);
using blowfish::block_path;
using blowfish::name_of;

// count blocks from first, one at a time, each starting where the last one's cursor ended.
void by_singles(single transform_block, std::uint8_t* first, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) first = transform_block(first);
}

// The operation returns exactly 8 past its argument and touches nothing outside its 8 bytes.
TEST(ProductCipher, CursorMovesEightAndGuardsStayUntouched) {
    for (single operation : {encrypt_block, decrypt_block}) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            std::vector<std::uint8_t> buffer(32, 0xA5);
            const auto guards = buffer;
            std::uint8_t* const at = buffer.data() + 8 + offset;
            EXPECT_EQ(operation(at), at + 8);
            std::fill_n(at, 8, 0xA5);
            EXPECT_EQ(buffer, guards) << "offset " << offset;
        }
    }
}

class MultiBlock : public testing::TestWithParam<blowfish::named_path> {
protected:
    // Forced first thing in a fresh process, as CTest runs each case: the path must hold.
    void SetUp() override {
        if (!blowfish::force_path(GetParam().path)) GTEST_SKIP() << "this processor cannot run " << GetParam().name;
        ASSERT_EQ(blowfish::chosen_path(), GetParam().path);
    }

    void TearDown() override { blowfish::force_path(blowfish::processor_path()); }
};

INSTANTIATE_TEST_SUITE_P(Paths, MultiBlock, testing::ValuesIn(blowfish::all_paths),
                         [](const auto& row) { return std::string(row.param.name); });

// Every count up to eight slices of 64 blocks and 8 more (every mix of slices taken four at once,
// slices alone, groups of 8 and single blocks), then a few large ones; at each of 8 offsets from an
// aligned address: the walk and the single-block operation give equal buffers, guards included.
TEST_P(MultiBlock, EqualsSingleBlocksAtEveryCountAndAlignment) {
    std::vector<std::uint32_t> counts;
    for (std::uint32_t c = 0; c <= 8 * blowfish::slice_blocks + 8; ++c) counts.push_back(c);
    for (std::uint32_t c : {1000u, 4099u, 65536u + 71u}) counts.push_back(c);
    constexpr std::size_t guard = 16;
    std::uint32_t seed = 1;
    for (const auto& [transform_blocks, transform_block] :
         {std::pair<walk, single>{encrypt_blocks, encrypt_block}, {decrypt_blocks, decrypt_block}}) {
        for (std::uint32_t count : counts) {
            for (std::size_t offset = 0; offset < 8; ++offset) {
                const auto original = random_bytes(guard + offset + 8 * std::size_t{count} + guard, seed++);
                auto by_walk = original;
                auto by_single = original;
                transform_blocks(by_walk.data() + guard + offset, count);
                by_singles(transform_block, by_single.data() + guard + offset, count);
                ASSERT_EQ(by_walk, by_single) << "count " << count << ", offset " << offset;
                EXPECT_TRUE(count == 0 || by_walk != original) << "count " << count << ": nothing transformed";
            }
        }
    }
}

#ifdef HAVE_OPENSSL
BF_KEY openssl_key() {
    BF_KEY key{};
    BF_set_key(&key, static_cast<int>(blowfish::configured_key.size()), blowfish::configured_key.data());
    return key;
}

// OpenSSL's Blowfish, encrypting or decrypting, over every whole block of data from offset from.
std::vector<std::uint8_t> by_openssl(std::vector<std::uint8_t> data, int direction, std::size_t from = 0) {
    const BF_KEY key = openssl_key();
    for (std::size_t at = from; at + 8 <= data.size(); at += 8) BF_ecb_encrypt(&data[at], &data[at], &key, direction);
    return data;
}

TEST(ProductCipher, ScheduleIsOpenSSLsKeySetupOfTheConfiguredKey) {
    const BF_KEY key = openssl_key();
    for (std::size_t i = 0; i < blowfish::sbox_words; ++i) ASSERT_EQ(subkey_schedule[i], key.S[i]) << "S-box word " << i;
    for (std::size_t i = 0; i < blowfish::p_array_words; ++i) ASSERT_EQ(blowfish::configured_schedule.p(i), key.P[i]) << i;
}

// A block of zeros, one of ones, then random blocks, each way.
TEST(ProductCipher, BlockOperationsAgreeWithOpenSSL) {
    auto data = random_bytes(8 * 1000, 20261208);
    data.insert(data.begin(), 8, 0x00);
    data.insert(data.begin(), 8, 0xFF);
    for (const auto& [operation, direction] :
         {std::pair<single, int>{encrypt_block, BF_ENCRYPT}, {decrypt_block, BF_DECRYPT}}) {
        auto ours = data;
        by_singles(operation, ours.data(), ours.size() / 8);
        ASSERT_EQ(ours, by_openssl(data, direction));
    }
}
#else
TEST(ProductCipher, AgainstOpenSSL) {
    GTEST_SKIP() << "OpenSSL not found: the schedule and blocks are not compared with it";
}
#endif

// Over 8 MiB and some blocks from an odd address, encrypting gives OpenSSL's blocks (where it is
// found) and decrypting gives the original back.
TEST_P(MultiBlock, EqualsOpenSslAndRoundTripsOnEightMegabytesAtAnOddAddress) {
    const auto original = random_bytes(1 + (8u << 20) + 8 * 37 + 5, 4242);
    const auto count = static_cast<std::uint32_t>((original.size() - 1) / 8);
    auto data = original;
    encrypt_blocks(data.data() + 1, count);
#ifdef HAVE_OPENSSL
    ASSERT_EQ(data, by_openssl(original, BF_ENCRYPT, 1));
#endif
    EXPECT_NE(data, original);
    decrypt_blocks(data.data() + 1, count);
    EXPECT_EQ(data, original);
}

// The path is chosen from the processor as GCC's own CPU check (which also reads XCR0) sees it.
// Under an emulated processor, MULTI_BLOCK_EXPECTED_PATH names the path that processor must get,
// so that a check which wrongly says yes there fails too.
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
    const char* told = std::getenv("MULTI_BLOCK_EXPECTED_PATH");
    EXPECT_STREQ(name_of(blowfish::processor_path()), told ? told : name_of(expected));
    const bool sliced = expected != block_path::scalar_groups;
    for (const auto& [path, name] : blowfish::all_paths) {
        if (path == block_path::scalar_groups) continue;
        EXPECT_EQ(blowfish::force_path(path), sliced) << name;
        EXPECT_STREQ(name_of(blowfish::chosen_path()), name_of(sliced ? path : expected));
    }
    EXPECT_TRUE(blowfish::force_path(block_path::scalar_groups));
    EXPECT_STREQ(name_of(blowfish::chosen_path()), "ScalarGroups");
    EXPECT_TRUE(blowfish::force_path(blowfish::processor_path()));
    EXPECT_STREQ(name_of(blowfish::chosen_path()), name_of(expected));
}

}  // namespace
