// The programs' own block operations and the schedule they carry, against OpenSSL's Blowfish set
// up with the configured key, and against themselves for the cursor and each direction's inverse.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "blowfish.h"
#include "random_bytes.h"

#ifdef HAVE_OPENSSL
#include <openssl/blowfish.h>

#include "configured_key.h"
#include "subkey_schedule.h"
#endif

namespace {

using block = std::array<std::uint8_t, 8>;

std::vector<block> sample_blocks() {
    std::vector<block> blocks{block{}, block{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
    const auto data = random_bytes(8 * 1000, 20261208);
    for (std::size_t at = 0; at < data.size(); at += 8) {
        block b;
        std::copy_n(data.begin() + static_cast<long>(at), 8, b.begin());
        blocks.push_back(b);
    }
    return blocks;
}

#ifdef HAVE_OPENSSL
// BF_* is deprecated in OpenSSL 3 in favour of EVP, whose Blowfish needs the legacy provider; the
// plain key structure is what lets the schedule be compared word for word.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
BF_KEY openssl_key() {
    BF_KEY key{};
    BF_set_key(&key, static_cast<int>(blowfish::configured_key.size()), blowfish::configured_key.data());
    return key;
}

TEST(ProductCipher, ScheduleIsOpenSSLsKeySetupOfTheConfiguredKey) {
    const BF_KEY key = openssl_key();
    for (std::size_t i = 0; i < blowfish::sbox_words; ++i) ASSERT_EQ(subkey_schedule[i], key.S[i]) << "S-box word " << i;
    for (std::size_t i = 2; i < blowfish::p_array_words; ++i)
        ASSERT_EQ(subkey_schedule[blowfish::sbox_words + i - 2], key.P[i]) << "P" << i;
    EXPECT_EQ(blowfish::subkey_p0, key.P[0]);
    EXPECT_EQ(blowfish::subkey_p1, key.P[1]);
}

TEST(ProductCipher, BlockOperationsAgreeWithOpenSSL) {
    const BF_KEY key = openssl_key();
    for (const block& original : sample_blocks()) {
        block ours = original, theirs{};
        encrypt_block(ours.data());
        BF_ecb_encrypt(original.data(), theirs.data(), &key, BF_ENCRYPT);
        ASSERT_EQ(ours, theirs);
        ours = original;
        decrypt_block(ours.data());
        BF_ecb_encrypt(original.data(), theirs.data(), &key, BF_DECRYPT);
        ASSERT_EQ(ours, theirs);
    }
}
#pragma GCC diagnostic pop
#else
TEST(ProductCipher, AgainstOpenSSL) { GTEST_SKIP() << "OpenSSL not found: the schedule and block operations are not compared with it"; }
#endif

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
