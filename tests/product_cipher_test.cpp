// The programs' own block operations, under the schedule made from the configured key.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "blowfish.h"
#include "configured_key.h"
#include "key_setup.h"

namespace {

using block = std::array<std::uint8_t, 8>;

std::vector<block> sample_blocks() {
    std::vector<block> blocks{block{}, block{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
    std::mt19937 random(20261208);
    for (int i = 0; i < 1000; ++i) {
        block b;
        for (auto& byte : b) byte = static_cast<std::uint8_t>(random());
        blocks.push_back(b);
    }
    return blocks;
}

// Key setup at run time, from the same key: the stored table and the operations must agree with it.
const blowfish::expanded_key& schedule_made_now() {
    static const auto schedule = blowfish::expand_key(blowfish::configured_key);
    return schedule;
}

TEST(ProductCipher, ScheduleIsTheKeySetupOfTheConfiguredKey) {
    EXPECT_EQ(subkey_schedule, schedule_made_now().table);
    EXPECT_NE(subkey_schedule[0], 0xd1310ba6u) << "the S-boxes are still the digits of pi";
}

TEST(ProductCipher, BlockOperationsFollowTheKeySetup) {
    const auto& k = schedule_made_now();
    for (const block& original : sample_blocks()) {
        block ours = original, reference = original;
        encrypt_block(ours.data());
        blowfish::encrypt_at(k.s_boxes(), k.p_rest(), k.p0, k.p1, reference.data());
        ASSERT_EQ(ours, reference);
        decrypt_block(ours.data());
        blowfish::decrypt_at(k.s_boxes(), k.p_rest(), k.p0, k.p1, reference.data());
        ASSERT_EQ(ours, reference);
    }
}

TEST(ProductCipher, EachDirectionUndoesTheOther) {
    for (const block& original : sample_blocks()) {
        block b = original;
        encrypt_block(b.data());
        EXPECT_NE(b, original);
        decrypt_block(b.data());
        EXPECT_EQ(b, original);
        decrypt_block(b.data());
        encrypt_block(b.data());
        EXPECT_EQ(b, original);
    }
}

// The operation returns exactly 8 past its argument and touches nothing outside its 8 bytes.
TEST(ProductCipher, CursorMovesEightAndGuardsStayUntouched) {
    for (auto operation : {encrypt_block, decrypt_block}) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            std::array<std::uint8_t, 32> buffer;
            buffer.fill(0xA5);
            std::uint8_t* const at = buffer.data() + 8 + offset;
            EXPECT_EQ(operation(at), at + 8);
            for (std::size_t i = 0; i < buffer.size(); ++i) {
                const bool inside = i >= 8 + offset && i < 16 + offset;
                if (!inside) {
                    EXPECT_EQ(buffer[i], 0xA5) << "byte " << i << " at offset " << offset;
                }
            }
        }
    }
}

}  // namespace
