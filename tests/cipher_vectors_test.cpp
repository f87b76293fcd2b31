// The published Blowfish vectors, through the same key setup and rounds that make the programs' schedule.
#include <gtest/gtest.h>

#include <algorithm>
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

using bytes = std::vector<std::uint8_t>;
using block = std::array<std::uint8_t, 8>;

// The lines of a file in tests/data, without comments and empty lines.
std::vector<std::string> data_lines(const std::string& name) {
    std::ifstream file(std::string(TEST_DATA_DIR) + "/" + name);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    return lines;
}

bytes from_hex(const std::string& hex) {
    bytes result;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        result.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return result;
}

// Each line a key, a plain block and its cipher block, in hex. Short keys are only legal in the
// key-length vectors; the setup itself cycles any length.
void expect_vectors(const std::string& name, std::size_t count) {
    const auto lines = data_lines(name);
    ASSERT_EQ(lines.size(), count);
    for (const std::string& line : lines) {
        std::istringstream fields(line);
        std::string key, plain, cipher;
        fields >> key >> plain >> cipher;
        const auto schedule = blowfish::expand_key(from_hex(key));
        bytes text = from_hex(plain);
        blowfish::encrypt_at(schedule.s_boxes(), schedule.p_rest(), schedule.p0, schedule.p1, text.data());
        EXPECT_EQ(text, from_hex(cipher)) << line;
        blowfish::decrypt_at(schedule.s_boxes(), schedule.p_rest(), schedule.p0, schedule.p1, text.data());
        EXPECT_EQ(text, from_hex(plain)) << line;
    }
}

TEST(PublishedVectors, VariableKeySetBothDirections) { expect_vectors("blowfish-ecb-vectors.txt", 34); }

TEST(PublishedVectors, KeyLengthSetBothDirections) { expect_vectors("blowfish-key-length-vectors.txt", 24); }

// Pi in fixed point, 32 bits a word: word 0 the integer part, then the fraction, big-endian.
using fixed = std::vector<std::uint32_t>;

void divide(fixed& x, std::uint32_t divisor) {
    std::uint64_t remainder = 0;
    for (auto& word : x) {
        const std::uint64_t value = remainder << 32 | word;
        word = static_cast<std::uint32_t>(value / divisor);
        remainder = value % divisor;
    }
}

// x += y, or x -= y when subtract (two's complement wraps the borrow through).
void accumulate(fixed& x, const fixed& y, bool subtract) {
    std::uint64_t carry = subtract ? 1 : 0;
    for (std::size_t i = x.size(); i-- > 0;) {
        const std::uint64_t value = std::uint64_t{x[i]} + (subtract ? ~y[i] : y[i]) + carry;
        x[i] = static_cast<std::uint32_t>(value);
        carry = value >> 32;
    }
}

// factor arctan(1 / m) = factor (1/m - 1/(3 m^3) + 1/(5 m^5) - ...)
fixed arctan_of_inverse(std::uint32_t factor, std::uint32_t m, std::size_t words) {
    fixed power(words);
    power[0] = factor;
    divide(power, m);
    fixed sum = power;
    for (std::uint32_t k = 1;; ++k) {
        divide(power, m * m);
        if (std::all_of(power.begin(), power.end(), [](std::uint32_t w) { return w == 0; })) return sum;
        fixed term = power;
        divide(term, 2 * k + 1);
        accumulate(sum, term, k % 2 == 1);
    }
}

// Machin's formula, pi = 16 arctan(1/5) - 4 arctan(1/239), with guard words for the rounding of
// each step: the first words after the point are Blowfish's initial tables.
TEST(PublishedVectors, InitialTablesAreTheDigitsOfPi) {
    const std::size_t words = 1 + blowfish::pi_words.size() + 4;
    fixed pi = arctan_of_inverse(16, 5, words);
    accumulate(pi, arctan_of_inverse(4, 239, words), true);
    ASSERT_EQ(pi[0], 3u);
    for (std::size_t i = 0; i < blowfish::pi_words.size(); ++i)
        ASSERT_EQ(blowfish::pi_words[i], pi[1 + i]) << "word " << i;
    // The same digits as published, kept as text beside the vectors.
    fixed listed;
    for (const std::string& line : data_lines("pi-hex-words.txt"))
        listed.push_back(static_cast<std::uint32_t>(std::stoul(line, nullptr, 16)));
    EXPECT_TRUE(listed == fixed(pi.begin() + 1, pi.end() - 4));
}

// The programs' key setup runs at compile time, where the compiler evaluates it: published vectors
// through that path, the results compared when the test runs.
TEST(PublishedVectors, KeySetupAtCompileTime) {
    constexpr auto encrypt_at_compile_time = [](auto key, block plain) {
        const auto schedule = blowfish::expand_key(key);
        blowfish::encrypt_at(schedule.s_boxes(), schedule.p_rest(), schedule.p0, schedule.p1, plain.data());
        return plain;
    };
    constexpr std::array<std::uint8_t, 8> key{0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    constexpr std::array<std::uint8_t, 24> long_key{0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87,
                                                    0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F,
                                                    0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    constexpr block cipher = encrypt_at_compile_time(key, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF});
    constexpr block long_key_cipher =
        encrypt_at_compile_time(long_key, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10});
    EXPECT_EQ(cipher, (block{0x0A, 0xCE, 0xAB, 0x0F, 0xC6, 0xA0, 0xA2, 0x8D}));
    EXPECT_EQ(long_key_cipher, (block{0x05, 0x04, 0x4B, 0x62, 0xFA, 0x52, 0xD0, 0x80}));
}

}  // namespace
