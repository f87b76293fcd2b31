// The Blowfish rounds over a schedule kept as: S0, S1, S2, S3 (1,024 words), P2 to P17 (16 words),
// with P0 and P1 passed apart. Shared by the key setup (compile time) and the block operations.
#pragma once

#include <cstddef>
#include <cstdint>

namespace blowfish {

struct halves {
    std::uint32_t left;
    std::uint32_t right;
};

// Pointer-sized indices let the S-box offsets fold into the loads' displacements.
constexpr std::uint32_t round_function(const std::uint32_t* s, std::uint32_t x) {
    const std::size_t i0 = x >> 24;
    const std::size_t i1 = (x >> 16) & 0xff;
    const std::size_t i2 = (x >> 8) & 0xff;
    const std::size_t i3 = x & 0xff;
    return ((s[i0] + s[256 + i1]) ^ s[512 + i2]) + s[768 + i3];
}

// p_rest points at P2..P17. The rounds are unrolled in pairs so that no swap is ever made.
constexpr halves encrypt_halves(const std::uint32_t* s, const std::uint32_t* p_rest, std::uint32_t p0,
                                std::uint32_t p1, halves in) {
    std::uint32_t a = in.left ^ p0;
    std::uint32_t b = in.right ^ round_function(s, a) ^ p1;
    a ^= round_function(s, b) ^ p_rest[0];
    for (int i = 1; i < 15; i += 2) {
        b ^= round_function(s, a) ^ p_rest[i];
        a ^= round_function(s, b) ^ p_rest[i + 1];
    }
    return {b ^ p_rest[15], a};
}

constexpr halves decrypt_halves(const std::uint32_t* s, const std::uint32_t* p_rest, std::uint32_t p0,
                                std::uint32_t p1, halves in) {
    std::uint32_t a = in.left ^ p_rest[15];
    std::uint32_t b = in.right ^ round_function(s, a) ^ p_rest[14];
    for (int i = 13; i > 0; i -= 2) {
        a ^= round_function(s, b) ^ p_rest[i];
        b ^= round_function(s, a) ^ p_rest[i - 1];
    }
    a ^= round_function(s, b) ^ p1;
    return {b ^ p0, a};
}

constexpr std::uint32_t load_big_endian(const std::uint8_t* at) {
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 | at[3];
}

constexpr void store_big_endian(std::uint8_t* at, std::uint32_t word) {
    at[0] = static_cast<std::uint8_t>(word >> 24);
    at[1] = static_cast<std::uint8_t>(word >> 16);
    at[2] = static_cast<std::uint8_t>(word >> 8);
    at[3] = static_cast<std::uint8_t>(word);
}

constexpr halves load_block(const std::uint8_t* at) { return {load_big_endian(at), load_big_endian(at + 4)}; }

constexpr void store_block(std::uint8_t* at, halves block) {
    store_big_endian(at, block.left);
    store_big_endian(at + 4, block.right);
}

}  // namespace blowfish

namespace blowfish {

constexpr std::uint8_t* encrypt_at(const std::uint32_t* s, const std::uint32_t* p_rest, std::uint32_t p0,
                                   std::uint32_t p1, std::uint8_t* at) {
    store_block(at, encrypt_halves(s, p_rest, p0, p1, load_block(at)));
    return at + 8;
}

constexpr std::uint8_t* decrypt_at(const std::uint32_t* s, const std::uint32_t* p_rest, std::uint32_t p0,
                                   std::uint32_t p1, std::uint8_t* at) {
    store_block(at, decrypt_halves(s, p_rest, p0, p1, load_block(at)));
    return at + 8;
}

}  // namespace blowfish
