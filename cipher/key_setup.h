// The published Blowfish key setup, usable at compile time, and the stored form of its result.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "blowfish_rounds.h"
#include "pi_words.h"

namespace blowfish {

inline constexpr std::size_t min_key_bytes = 4;
inline constexpr std::size_t max_key_bytes = 56;
inline constexpr std::size_t table_words = 1040;

// A schedule as the block operations use it: S0..S3 then P2..P17 in one table; P0 and P1 apart.
struct stored_schedule {
    std::array<std::uint32_t, table_words> table;
    std::uint32_t p0;
    std::uint32_t p1;

    constexpr const std::uint32_t* s_boxes() const { return table.data(); }
    constexpr const std::uint32_t* p_rest() const { return table.data() + 1024; }
};

// Starts from the digits of pi laid out in stored form, mixes the key into the P-array, then
// replaces P and S pairwise with the encryptions of a running block, exactly as published.
constexpr stored_schedule expand_key(std::span<const std::uint8_t> key) {
    stored_schedule k{};
    for (std::size_t i = 0; i < 1024; ++i) k.table[i] = pi_words[18 + i];
    for (std::size_t i = 2; i < 18; ++i) k.table[1024 + i - 2] = pi_words[i];
    k.p0 = pi_words[0];
    k.p1 = pi_words[1];

    auto p = [&k](std::size_t i) -> std::uint32_t& { return i == 0 ? k.p0 : i == 1 ? k.p1 : k.table[1024 + i - 2]; };
    std::size_t next = 0;
    for (std::size_t i = 0; i < 18; ++i) {
        std::uint32_t word = 0;
        for (int b = 0; b < 4; ++b) {
            word = word << 8 | key[next];
            next = (next + 1) % key.size();
        }
        p(i) ^= word;
    }

    halves running{0, 0};
    for (std::size_t i = 0; i < 18; i += 2) {
        running = encrypt_halves(k.s_boxes(), k.p_rest(), k.p0, k.p1, running);
        p(i) = running.left;
        p(i + 1) = running.right;
    }
    for (std::size_t i = 0; i < 1024; i += 2) {
        running = encrypt_halves(k.s_boxes(), k.p_rest(), k.p0, k.p1, running);
        k.table[i] = running.left;
        k.table[i + 1] = running.right;
    }
    return k;
}

}  // namespace blowfish
