// The multi-block operations byte-sliced over 64 blocks with AVX-512 VBMI byte permutes, for x86-64.
//
// Layout: 64 blocks sit in eight 512-bit vectors, vector j holding byte j of every block, so a
// 32-bit half is four vectors, its most significant byte first. Blocks enter through a byte permute
// within each vector (byte j of its 8 blocks to 64-bit lane j) and an 8x8 transpose of 64-bit lanes
// between the vectors; they leave through the inverse.
//
// Each S-box is kept as four byte planes of 256 entries, plane j holding byte j of every entry. A
// lookup in one plane for 64 indices is four vpermb over its quarters of 64 entries, each later one
// merged where the index has bit 6, bit 7, or both. (Two vpermi2b over halves of 128 entries and a
// blend on bit 7 do the same work, but on the Xeon this was tuned on a vpermi2b costs two vpermb.)
// The additions modulo 2^32 run across the four planes from the least significant byte, each
// byte's carry out kept in a mask register for the next.
//
// The planes and the P-array are made at compile time from the configured schedule. The kernels
// carry the target attribute and are never inlined into their callers, so no AVX-512 instruction
// runs unless byte_sliced_chosen() has seen the processor and the operating system support it.
// Encryption and decryption are separate functions, each used from its own direction's file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace blowfish {

inline constexpr std::uint32_t slice_blocks = 64;

}  // namespace blowfish

#if defined(__x86_64__)
#define BLOWFISH_BYTE_SLICED 1

#include <cpuid.h>
#include <immintrin.h>

#include <array>
#include <atomic>

#include "subkey_schedule.h"

#define BYTE_SLICED_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace blowfish::byte_sliced {

// plane[box][j][i]: byte j (0 the most significant) of entry i of S-box box.
struct s_box_planes {
    std::uint8_t plane[4][4][256];
};

// The configured schedule's table as subkey_schedule holds it (subkey_schedule.h).
constexpr std::array<std::uint32_t, schedule_words> schedule_table() { return expand_key(configured_key).table; }

constexpr s_box_planes make_planes() {
    const auto table = schedule_table();
    s_box_planes planes{};
    for (std::size_t box = 0; box < 4; ++box)
        for (std::size_t j = 0; j < 4; ++j)
            for (std::size_t i = 0; i < 256; ++i)
                planes.plane[box][j][i] = static_cast<std::uint8_t>(table[256 * box + i] >> (24 - 8 * j));
    return planes;
}

alignas(64) inline constexpr s_box_planes s_planes = make_planes();

// The P-array in the order a direction applies it, each byte repeated four times so that it
// broadcasts as a 32-bit word: keys[r][j] is byte j of the key of step r.
using round_keys = std::array<std::array<std::uint32_t, 4>, p_array_words>;

constexpr round_keys make_keys(bool decrypting) {
    const auto table = schedule_table();
    auto p = [&table](std::size_t i) { return i == 0 ? subkey_p0 : i == 1 ? subkey_p1 : table[sbox_words + i - 2]; };
    round_keys keys{};
    for (std::size_t r = 0; r < p_array_words; ++r)
        for (std::size_t j = 0; j < 4; ++j)
            keys[r][j] = ((p(decrypting ? p_array_words - 1 - r : r) >> (24 - 8 * j)) & 0xffu) * 0x01010101u;
    return keys;
}

inline constexpr round_keys encrypt_keys = make_keys(false);
inline constexpr round_keys decrypt_keys = make_keys(true);

// The transpose between 8 vectors of 8 blocks each and 8 vectors of one byte position each. First,
// within each vector, byte j of its 8 blocks gathers into 64-bit lane j (the same permutation
// undoes it). Then three rounds of two-source permutes of 64-bit lanes, each splitting the lanes
// of even position from those of odd position, move lane j of every vector into one vector; the
// joins undo the splits, interleaving the first halves of two vectors (join[0]) or their second
// halves (join[1]).
struct transpose_indices {
    std::uint8_t bytes_to_lanes[64];
    std::uint64_t split[2][8];
    std::uint64_t join[2][8];
};

constexpr transpose_indices make_indices() {
    transpose_indices t{};
    for (unsigned block = 0; block < 8; ++block)
        for (unsigned j = 0; j < 8; ++j) t.bytes_to_lanes[8 * j + block] = static_cast<std::uint8_t>(8 * block + j);
    for (unsigned l = 0; l < 8; ++l) {
        for (unsigned parity = 0; parity < 2; ++parity) t.split[parity][l] = (l >> 2) << 3 | (l & 3) << 1 | parity;
        for (unsigned half = 0; half < 2; ++half) t.join[half][l] = (l & 1) << 3 | (4 * half + (l >> 1));
    }
    return t;
}

alignas(64) inline constexpr transpose_indices transpose = make_indices();

// A 32-bit half of 64 blocks: byte[0] holds the most significant bytes.
struct half {
    __m512i byte[4];
};

BYTE_SLICED_TARGET inline __m512i load(const void* at) { return _mm512_load_si512(at); }

// A byte permute of one vector. GCC 12 warns about the undefined source of the unmasked form.
BYTE_SLICED_TARGET inline __m512i permute(__m512i index, __m512i table) {
    return _mm512_maskz_permutexvar_epi8(~__mmask64{0}, index, table);
}

// After the three splits, vector v holds byte j of all blocks where v is j with its 3 bits reversed.
constexpr unsigned reversed3(unsigned j) { return (j & 1) << 2 | (j & 2) | (j & 4) >> 2; }

BYTE_SLICED_TARGET inline void load_blocks(const std::uint8_t* at, half& left, half& right) {
    const __m512i gather = load(transpose.bytes_to_lanes);
    __m512i v[8];
    for (unsigned i = 0; i < 8; ++i) v[i] = permute(gather, _mm512_loadu_si512(at + 64 * i));
    const __m512i even = load(transpose.split[0]);
    const __m512i odd = load(transpose.split[1]);
    for (int stage = 0; stage < 3; ++stage) {
        __m512i next[8];
        for (unsigned i = 0; i < 4; ++i) {
            next[2 * i] = _mm512_permutex2var_epi64(v[i], even, v[i + 4]);
            next[2 * i + 1] = _mm512_permutex2var_epi64(v[i], odd, v[i + 4]);
        }
        for (unsigned i = 0; i < 8; ++i) v[i] = next[i];
    }
    for (unsigned j = 0; j < 4; ++j) {
        left.byte[j] = v[reversed3(j)];
        right.byte[j] = v[reversed3(j + 4)];
    }
}

BYTE_SLICED_TARGET inline void store_blocks(std::uint8_t* at, const half& left, const half& right) {
    __m512i v[8];
    for (unsigned j = 0; j < 4; ++j) {
        v[reversed3(j)] = left.byte[j];
        v[reversed3(j + 4)] = right.byte[j];
    }
    const __m512i first = load(transpose.join[0]);
    const __m512i second = load(transpose.join[1]);
    for (int stage = 0; stage < 3; ++stage) {
        __m512i previous[8];
        for (unsigned i = 0; i < 4; ++i) {
            previous[i] = _mm512_permutex2var_epi64(v[2 * i], first, v[2 * i + 1]);
            previous[i + 4] = _mm512_permutex2var_epi64(v[2 * i], second, v[2 * i + 1]);
        }
        for (unsigned i = 0; i < 8; ++i) v[i] = previous[i];
    }
    const __m512i scatter = load(transpose.bytes_to_lanes);
    for (unsigned i = 0; i < 8; ++i) _mm512_storeu_si512(at + 64 * i, permute(scatter, v[i]));
}

// Which quarter of a plane each of 64 indices falls in: bit 6 and bit 7 of the index.
struct quarters {
    __mmask64 bit6;
    __mmask64 bit7;
    __mmask64 both;
};

BYTE_SLICED_TARGET inline quarters quarters_of(__m512i index) {
    const __mmask64 bit6 = _mm512_movepi8_mask(_mm512_add_epi8(index, index));
    const __mmask64 bit7 = _mm512_movepi8_mask(index);
    return {bit6, bit7, _kand_mask64(bit6, bit7)};
}

// One byte plane of an S-box looked up at 64 indices, a quarter of 64 entries at a time: each
// lookup overwrites the lanes whose index lies in its quarter or beyond.
BYTE_SLICED_TARGET inline __m512i lookup(const std::uint8_t* plane, __m512i index, const quarters& q) {
    __m512i entries = permute(index, load(plane));
    entries = _mm512_mask_permutexvar_epi8(entries, q.bit6, index, load(plane + 64));
    entries = _mm512_mask_permutexvar_epi8(entries, q.bit7, index, load(plane + 128));
    return _mm512_mask_permutexvar_epi8(entries, q.both, index, load(plane + 192));
}

BYTE_SLICED_TARGET inline half s_box(unsigned box, __m512i index) {
    const quarters q = quarters_of(index);
    half out;
    for (unsigned j = 0; j < 4; ++j) out.byte[j] = lookup(s_planes.plane[box][j], index, q);
    return out;
}

// x + y modulo 2^32. The carry out of a byte is bit 7 of (x & y) | ((x | y) & ~sum).
BYTE_SLICED_TARGET inline half add(const half& x, const half& y) {
    const __m512i one_less = _mm512_set1_epi8(-1);
    half sum;
    __mmask64 carry = 0;
    for (int j = 3; j >= 0; --j) {
        sum.byte[j] = _mm512_add_epi8(x.byte[j], y.byte[j]);
        if (j != 3) sum.byte[j] = _mm512_mask_sub_epi8(sum.byte[j], carry, sum.byte[j], one_less);
        if (j != 0) carry = _mm512_movepi8_mask(_mm512_ternarylogic_epi32(x.byte[j], y.byte[j], sum.byte[j], 0xd4));
    }
    return sum;
}

BYTE_SLICED_TARGET inline void xor_key(half& h, const std::array<std::uint32_t, 4>& key) {
    for (unsigned j = 0; j < 4; ++j) h.byte[j] = _mm512_xor_si512(h.byte[j], _mm512_set1_epi32(static_cast<int>(key[j])));
}

// to ^= F(from) ^ key, F(x) = ((S0[x0] + S1[x1]) ^ S2[x2]) + S3[x3].
BYTE_SLICED_TARGET inline void round(half& to, const half& from, const std::array<std::uint32_t, 4>& key) {
    half f = add(s_box(0, from.byte[0]), s_box(1, from.byte[1]));
    const half s2 = s_box(2, from.byte[2]);
    for (unsigned j = 0; j < 4; ++j) f.byte[j] = _mm512_xor_si512(f.byte[j], s2.byte[j]);
    f = add(f, s_box(3, from.byte[3]));
    for (unsigned j = 0; j < 4; ++j)
        to.byte[j] = _mm512_ternarylogic_epi32(to.byte[j], f.byte[j], _mm512_set1_epi32(static_cast<int>(key[j])), 0x96);
}

// The published rounds with the P-array in the given order: decryption is encryption with P reversed.
BYTE_SLICED_TARGET __attribute__((always_inline)) inline std::uint8_t* transform_slices(const round_keys& keys,
                                                                                     std::uint8_t* at,
                                                                                     std::uint32_t slices) {
    for (; slices != 0; --slices, at += 8 * slice_blocks) {
        half a, b;
        load_blocks(at, a, b);
        xor_key(a, keys[0]);
        for (std::size_t r = 1; r < 17; r += 2) {
            round(b, a, keys[r]);
            round(a, b, keys[r + 1]);
        }
        xor_key(b, keys[17]);
        store_blocks(at, b, a);
    }
    return at;
}

// 0 not yet checked, 1 supported, 2 not supported.
inline std::atomic<int> support{0};
inline std::atomic<bool> scalar_forced{false};

// AVX-512 F, BW and VBMI in the processor, and their register state enabled by the system (XCR0):
// SSE and AVX state, the opmask registers, the upper halves of zmm0-15, and zmm16-31.
inline bool processor_and_system_support() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(1, 0, a, b, c, d);
    constexpr unsigned osxsave = 1u << 27;
    if ((c & osxsave) == 0) return false;
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    constexpr unsigned avx512_state = 1u << 1 | 1u << 2 | 1u << 5 | 1u << 6 | 1u << 7;
    if ((xcr0 & avx512_state) != avx512_state) return false;
    __cpuid_count(7, 0, a, b, c, d);
    constexpr unsigned avx512f = 1u << 16, avx512bw = 1u << 30;  // in ebx
    constexpr unsigned avx512vbmi = 1u << 1;                      // in ecx
    return (b & avx512f) != 0 && (b & avx512bw) != 0 && (c & avx512vbmi) != 0;
}

}  // namespace blowfish::byte_sliced

namespace blowfish {

// Whether the multi-block operations take the byte-sliced path. The processor is asked once.
inline bool byte_sliced_chosen() {
    using namespace byte_sliced;
    int known = support.load(std::memory_order_relaxed);
    if (known == 0) {
        known = processor_and_system_support() ? 1 : 2;
        support.store(known, std::memory_order_relaxed);
    }
    return known == 1 && !scalar_forced.load(std::memory_order_relaxed);
}

// For the tests and the benchmark: the multi-block operations take the scalar groups even where
// the byte-sliced path could run, so that both are checked and measured on a processor with VBMI.
// The programs never call it.
inline void force_scalar_groups(bool forced) { byte_sliced::scalar_forced.store(forced, std::memory_order_relaxed); }

// Transform slices * 64 blocks from first in place; return the position after them. Only to be
// called when byte_sliced_chosen().
BYTE_SLICED_TARGET __attribute__((noinline)) inline std::uint8_t* encrypt_slices(std::uint8_t* first,
                                                                                  std::uint32_t slices) {
    return byte_sliced::transform_slices(byte_sliced::encrypt_keys, first, slices);
}

BYTE_SLICED_TARGET __attribute__((noinline)) inline std::uint8_t* decrypt_slices(std::uint8_t* first,
                                                                                  std::uint32_t slices) {
    return byte_sliced::transform_slices(byte_sliced::decrypt_keys, first, slices);
}

}  // namespace blowfish

#undef BYTE_SLICED_TARGET
#endif
