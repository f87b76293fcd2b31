// The published Blowfish key setup, usable at compile time, giving the schedule in stored form.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "blowfish.h"
#include "blowfish_rounds.h"
#include "pi_words.h"

namespace blowfish {

inline constexpr std::size_t min_key_bytes = 4;
inline constexpr std::size_t max_key_bytes = 56;

// What the key setup gives: the stored table (blowfish.h) and, apart from it, P0 and P1.
struct expanded_key {
    std::array<std::uint32_t, schedule_words> table;
    std::uint32_t p0;
    std::uint32_t p1;

    constexpr const std::uint32_t* s_boxes() const { return table.data(); }
    constexpr const std::uint32_t* p_rest() const { return table.data() + sbox_words; }
    // P[i] of the published P-array, wherever it is kept.
    constexpr std::uint32_t& p(std::size_t i) { return i == 0 ? p0 : i == 1 ? p1 : table[sbox_words + i - 2]; }
    constexpr std::uint32_t p(std::size_t i) const { return i == 0 ? p0 : i == 1 ? p1 : table[sbox_words + i - 2]; }
};

// Starts from the digits of pi laid out in stored form, mixes the key into the P-array, then
// replaces P and S pairwise with the encryptions of a running block, exactly as published.
constexpr expanded_key expand_key(std::span<const std::uint8_t> key) {
    expanded_key k{};
    for (std::size_t i = 0; i < sbox_words; ++i) k.table[i] = pi_words[p_array_words + i];
    for (std::size_t i = 0; i < p_array_words; ++i) k.p(i) = pi_words[i];
    std::size_t next = 0;
    for (std::size_t i = 0; i < p_array_words; ++i) {
        std::uint32_t word = 0;
        for (int b = 0; b < 4; ++b) {
            word = word << 8 | key[next];
            next = (next + 1) % key.size();
        }
        k.p(i) ^= word;
    }

    block_halves<1> running{};
    for (std::size_t i = 0; i < p_array_words; i += 2) {
        encrypt_halves(k.s_boxes(), k.p_rest(), k.p0, k.p1, running);
        k.p(i) = running.left[0];
        k.p(i + 1) = running.right[0];
    }
    for (std::size_t i = 0; i < sbox_words; i += 2) {
        encrypt_halves(k.s_boxes(), k.p_rest(), k.p0, k.p1, running);
        k.table[i] = running.left[0];
        k.table[i + 1] = running.right[0];
    }
    return k;
}

}  // namespace blowfish
