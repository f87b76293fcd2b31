// The Blowfish rounds over the stored schedule (blowfish.h), for one block or for a group of
// consecutive blocks at once. Shared by the key setup (at compile time) and the block operations.
//
// One block's 16 rounds are a single chain of dependent table loads: each round needs the previous
// round's result. A lone block therefore leaves most of the processor idle, and the multi-block
// operations interleave the rounds of a group of independent blocks so that their loads and
// arithmetic overlap. The group size is a compile-time constant so that the loops over the group
// unroll and the halves stay in registers as far as they go.
#pragma once

#include <cstddef>
#include <cstdint>

#include "blowfish.h"

namespace blowfish {

// The group size that ran fastest on x86-64 (the figures are in docs/speed.md): past the registers the
// halves spill to the stack, which the processor forwards cheaply, so the wider overlap still wins.
// i386 code cannot be timed here; with its 8 registers, llvm-mca's models of current processors give
// groups of 4 the fewest cycles per block (scripts/model-speed). Nor can aarch64 code: with its 31
// registers, the models of Neoverse N1 and Cortex-A76 give groups of 4 and of 8 the same cycles,
// other cores' models 8 slightly fewer, and from 12 on the halves spill and the cycles rise; so
// aarch64 keeps 8. A power of two keeps count / group_blocks a shift. scripts/model-speed compiles
// other sizes with -DBLOWFISH_GROUP_BLOCKS.
#if defined(BLOWFISH_GROUP_BLOCKS)
inline constexpr std::uint32_t group_blocks = BLOWFISH_GROUP_BLOCKS;
#elif defined(__i386__)
inline constexpr std::uint32_t group_blocks = 4;
#else
inline constexpr std::uint32_t group_blocks = 8;
#endif
#ifndef BLOWFISH_GROUP_BLOCKS
static_assert((group_blocks & (group_blocks - 1)) == 0);
#endif

// The halves of N blocks, each read big-endian: L from bytes 0 to 3, R from bytes 4 to 7.
template <unsigned N>
struct block_halves {
    std::uint32_t left[N];
    std::uint32_t right[N];
};

// Clang (the ARM64 builds) calls the steps of the block operations (a group's load, rounds and
// store, and the walk over the groups, block_operations.h) rather than inlining them, and so passes
// the halves through memory; told to inline them, it keeps the halves in registers and the groups
// in one loop, as GCC does by itself (its code is left as it is).
#if defined(__clang__)
#define BLOWFISH_INLINE_GROUP [[gnu::always_inline]]
#else
#define BLOWFISH_INLINE_GROUP
#endif

// Pointer-sized indices let the S-box offsets fold into the loads' displacements.
constexpr std::uint32_t round_function(const std::uint32_t* s, std::uint32_t x) {
    const std::size_t i0 = x >> 24;
    const std::size_t i1 = (x >> 16) & 0xff;
    const std::size_t i2 = (x >> 8) & 0xff;
    const std::size_t i3 = x & 0xff;
    return ((s[i0] + s[256 + i1]) ^ s[512 + i2]) + s[768 + i3];
}

// to[j] ^= F(from[j]) ^ p for every block of the group.
template <unsigned N>
BLOWFISH_INLINE_GROUP
constexpr void round(const std::uint32_t* s, std::uint32_t* to, const std::uint32_t* from, std::uint32_t p) {
#pragma GCC unroll 16
    for (unsigned j = 0; j < N; ++j) to[j] ^= round_function(s, from[j]) ^ p;
}

// The result's left half is b ^ p_last and its right half a: the rounds go in pairs so that no swap
// is made until here.
template <unsigned N>
BLOWFISH_INLINE_GROUP
constexpr void finish(block_halves<N>& x, std::uint32_t p_last) {
#pragma GCC unroll 16
    for (unsigned j = 0; j < N; ++j) {
        const std::uint32_t left = x.right[j] ^ p_last;
        x.right[j] = x.left[j];
        x.left[j] = left;
    }
}

// s points at the S-boxes, p_rest at P2..P17. Each step is applied to all N blocks before the next.
template <unsigned N = 1>
BLOWFISH_INLINE_GROUP
constexpr void encrypt_halves(const std::uint32_t* s, const std::uint32_t* p_rest, std::uint32_t p0,
                              std::uint32_t p1, block_halves<N>& x) {
    std::uint32_t* a = x.left;
    std::uint32_t* b = x.right;
#pragma GCC unroll 16
    for (unsigned j = 0; j < N; ++j) a[j] ^= p0;
    round<N>(s, b, a, p1);
    round<N>(s, a, b, p_rest[0]);
#pragma GCC unroll 8
    for (int i = 1; i < 15; i += 2) {
        round<N>(s, b, a, p_rest[i]);
        round<N>(s, a, b, p_rest[i + 1]);
    }
    finish(x, p_rest[15]);
}

template <unsigned N = 1>
BLOWFISH_INLINE_GROUP
constexpr void decrypt_halves(const std::uint32_t* s, const std::uint32_t* p_rest, std::uint32_t p0,
                              std::uint32_t p1, block_halves<N>& x) {
    std::uint32_t* a = x.left;
    std::uint32_t* b = x.right;
#pragma GCC unroll 16
    for (unsigned j = 0; j < N; ++j) a[j] ^= p_rest[15];
    round<N>(s, b, a, p_rest[14]);
#pragma GCC unroll 8
    for (int i = 13; i > 0; i -= 2) {
        round<N>(s, a, b, p_rest[i]);
        round<N>(s, b, a, p_rest[i - 1]);
    }
    round<N>(s, a, b, p1);
    finish(x, p0);
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

template <unsigned N>
BLOWFISH_INLINE_GROUP
constexpr block_halves<N> load_blocks(const std::uint8_t* at) {
    block_halves<N> x{};
#pragma GCC unroll 16
    for (unsigned j = 0; j < N; ++j) {
        x.left[j] = load_big_endian(at + 8 * j);
        x.right[j] = load_big_endian(at + 8 * j + 4);
    }
    return x;
}

template <unsigned N>
BLOWFISH_INLINE_GROUP
constexpr void store_blocks(std::uint8_t* at, const block_halves<N>& x) {
#pragma GCC unroll 16
    for (unsigned j = 0; j < N; ++j) {
        store_big_endian(at + 8 * j, x.left[j]);
        store_big_endian(at + 8 * j + 4, x.right[j]);
    }
}

// Transform the N blocks at at in place and return the position after them.
template <unsigned N = 1>
BLOWFISH_INLINE_GROUP
constexpr std::uint8_t* encrypt_at(const std::uint32_t* s, const std::uint32_t* p_rest, std::uint32_t p0,
                                   std::uint32_t p1, std::uint8_t* at) {
    block_halves<N> x = load_blocks<N>(at);
    encrypt_halves<N>(s, p_rest, p0, p1, x);
    store_blocks<N>(at, x);
    return at + 8 * N;
}

template <unsigned N = 1>
BLOWFISH_INLINE_GROUP
constexpr std::uint8_t* decrypt_at(const std::uint32_t* s, const std::uint32_t* p_rest, std::uint32_t p0,
                                   std::uint32_t p1, std::uint8_t* at) {
    block_halves<N> x = load_blocks<N>(at);
    decrypt_halves<N>(s, p_rest, p0, p1, x);
    store_blocks<N>(at, x);
    return at + 8 * N;
}

}  // namespace blowfish
