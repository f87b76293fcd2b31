// The published Blowfish vectors, through the same key setup and rounds that make the programs' schedule.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "blowfish_rounds.h"
#include "key_setup.h"
#include "pi_words.h"

namespace {

struct vector_line {
    std::vector<std::uint8_t> key;
    std::array<std::uint8_t, 8> plain;
    std::array<std::uint8_t, 8> cipher;
};

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::array<std::uint8_t, 8> block_from_hex(const std::string& hex) {
    const auto bytes = from_hex(hex);
    std::array<std::uint8_t, 8> block{};
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
}

std::vector<vector_line> read_vectors(const std::string& name) {
    std::ifstream file(std::string(TEST_DATA_DIR) + "/" + name);
    std::vector<vector_line> lines;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string key, plain, cipher;
        fields >> key >> plain >> cipher;
        lines.push_back({from_hex(key), block_from_hex(plain), block_from_hex(cipher)});
    }
    return lines;
}

// Short keys are only legal in the key-length vectors; the setup itself cycles any length.
void expect_vectors(const std::vector<vector_line>& vectors) {
    for (const auto& v : vectors) {
        const auto schedule = blowfish::expand_key(v.key);
        auto block = v.plain;
        blowfish::encrypt_at(schedule.s_boxes(), schedule.p_rest(), schedule.p0, schedule.p1, block.data());
        EXPECT_EQ(block, v.cipher) << "key of " << v.key.size() << " bytes";
        blowfish::decrypt_at(schedule.s_boxes(), schedule.p_rest(), schedule.p0, schedule.p1, block.data());
        EXPECT_EQ(block, v.plain) << "key of " << v.key.size() << " bytes";
    }
}

TEST(PublishedVectors, VariableKeySetBothDirections) {
    const auto vectors = read_vectors("blowfish-ecb-vectors.txt");
    ASSERT_EQ(vectors.size(), 34u);
    expect_vectors(vectors);
}

TEST(PublishedVectors, KeyLengthSetBothDirections) {
    const auto vectors = read_vectors("blowfish-key-length-vectors.txt");
    ASSERT_EQ(vectors.size(), 24u);
    expect_vectors(vectors);
}

TEST(PublishedVectors, InitialTablesMatchTheDigitsOfPi) {
    std::ifstream file(std::string(TEST_DATA_DIR) + "/pi-hex-words.txt");
    std::vector<std::uint32_t> words;
    for (std::string line; std::getline(file, line);)
        if (!line.empty() && line[0] != '#') words.push_back(static_cast<std::uint32_t>(std::stoul(line, nullptr, 16)));
    ASSERT_EQ(words.size(), blowfish::pi_words.size());
    for (std::size_t i = 0; i < words.size(); ++i) EXPECT_EQ(words[i], blowfish::pi_words[i]) << "word " << i;
}

// The key setup runs at compile time for the programs: prove it gives the same there.
TEST(PublishedVectors, KeySetupAtCompileTime) {
    constexpr std::array<std::uint8_t, 8> key{0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    constexpr auto schedule = blowfish::expand_key(key);
    constexpr auto cipher = [&] {
        std::array<std::uint8_t, 8> block{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
        blowfish::encrypt_at(schedule.s_boxes(), schedule.p_rest(), schedule.p0, schedule.p1, block.data());
        return block;
    }();
    static_assert(cipher == std::array<std::uint8_t, 8>{0x0A, 0xCE, 0xAB, 0x0F, 0xC6, 0xA0, 0xA2, 0x8D});
    SUCCEED();
}

}  // namespace
