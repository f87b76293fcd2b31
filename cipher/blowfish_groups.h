// The Blowfish rounds over a group of consecutive blocks at once. One block's rounds form a single
// dependency chain (each round needs the previous round's result and four table loads), so a lone
// block leaves most of the processor idle. Interleaving the rounds of several independent blocks
// lets their loads and arithmetic overlap. The group size is a compile-time constant so that the
// loops over the group unroll and the halves stay in registers as far as they go; the size that
// pays off best was measured per target (see group_size.h).
#pragma once

#include <cstdint>

#include "blowfish_rounds.h"

namespace blowfish {

template <unsigned N>
struct group_halves {
    std::uint32_t a[N];
    std::uint32_t b[N];
};

// to[j] ^= F(from[j]) ^ p for every block of the group.
template <unsigned N>
constexpr void group_round(const std::uint32_t* s, std::uint32_t* to, const std::uint32_t* from, std::uint32_t p) {
#pragma GCC unroll 16
    for (unsigned j = 0; j < N; ++j) to[j] ^= round_function(s, from[j]) ^ p;
}

template <unsigned N>
constexpr void load_group(const std::uint8_t* at, group_halves<N>& g) {
#pragma GCC unroll 16
    for (unsigned j = 0; j < N; ++j) {
        g.a[j] = load_big_endian(at + 8 * j);
        g.b[j] = load_big_endian(at + 8 * j + 4);
    }
}

// Stores b as the left half and a as the right, which is where the rounds leave them.
template <unsigned N>
constexpr void store_group_swapped(std::uint8_t* at, const group_halves<N>& g, std::uint32_t p_last) {
#pragma GCC unroll 16
    for (unsigned j = 0; j < N; ++j) {
        store_big_endian(at + 8 * j, g.b[j] ^ p_last);
        store_big_endian(at + 8 * j + 4, g.a[j]);
    }
}

// The same steps as encrypt_halves, each applied to all N blocks before the next.
template <unsigned N>
constexpr std::uint8_t* encrypt_group(const std::uint32_t* s, const std::uint32_t* p_rest, std::uint32_t p0,
                                      std::uint32_t p1, std::uint8_t* at) {
    group_halves<N> g{};
    load_group(at, g);
#pragma GCC unroll 16
    for (unsigned j = 0; j < N; ++j) g.a[j] ^= p0;
    group_round<N>(s, g.b, g.a, p1);
    group_round<N>(s, g.a, g.b, p_rest[0]);
#pragma GCC unroll 8
    for (int i = 1; i < 15; i += 2) {
        group_round<N>(s, g.b, g.a, p_rest[i]);
        group_round<N>(s, g.a, g.b, p_rest[i + 1]);
    }
    store_group_swapped(at, g, p_rest[15]);
    return at + 8 * N;
}

template <unsigned N>
constexpr std::uint8_t* decrypt_group(const std::uint32_t* s, const std::uint32_t* p_rest, std::uint32_t p0,
                                      std::uint32_t p1, std::uint8_t* at) {
    group_halves<N> g{};
    load_group(at, g);
#pragma GCC unroll 16
    for (unsigned j = 0; j < N; ++j) g.a[j] ^= p_rest[15];
    group_round<N>(s, g.b, g.a, p_rest[14]);
#pragma GCC unroll 8
    for (int i = 13; i > 0; i -= 2) {
        group_round<N>(s, g.a, g.b, p_rest[i]);
        group_round<N>(s, g.b, g.a, p_rest[i - 1]);
    }
    group_round<N>(s, g.a, g.b, p1);
    store_group_swapped(at, g, p0);
    return at + 8 * N;
}

}  // namespace blowfish
