// Shared by the tests of the multi-block forms: random data, and the check that a multi-block
// walk gives exactly what the single-block operation gives block by block.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace block_agreement {

using walk = void (*)(std::uint8_t*, std::uint32_t);
using single = std::uint8_t* (*)(std::uint8_t*);

// A fixed-seed xorshift, so that a failure repeats exactly.
inline std::vector<std::uint8_t> random_bytes(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed | 1;
    for (auto& byte : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

inline constexpr std::size_t guard = 16;

// Transforms count blocks at offset in a copy of data with the walk and with the single-block
// operation, then compares the whole buffers, guards included.
inline void expect_walk_equals_singles(walk transform_blocks, single transform_block, std::uint32_t count,
                                       std::size_t offset, std::uint32_t seed) {
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

// Every count up to four of the largest unit a walk takes at once, and 8 more, then a few large ones.
inline std::vector<std::uint32_t> counts_to_try(std::uint32_t largest_unit) {
    std::vector<std::uint32_t> counts;
    for (std::uint32_t c = 0; c <= 4 * largest_unit + 8; ++c) counts.push_back(c);
    for (std::uint32_t c : {1000u, 4099u, 65536u + 71u}) counts.push_back(c);
    return counts;
}

}  // namespace block_agreement
