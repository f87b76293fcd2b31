// The multi-block operations byte-sliced over 64 blocks with AVX-512 VBMI byte permutes, for x86-64.
//
// Layout: 64 blocks sit in eight 512-bit vectors, vector j holding byte j of every block, so a
// 32-bit half is four vectors, its most significant byte first. Blocks enter through a byte permute
// within each vector (byte j of its 8 blocks to 64-bit lane j) and an 8x8 transpose of 64-bit lanes
// between the vectors; they leave through the inverse.
//
// Each S-box is kept as four byte planes of 256 entries (byte_sliced_tables.h), plane j holding
// byte j of every entry. A plane is looked up for 64 indices at once in one of two forms
// (block_path.h says which form a processor takes):
// - by quarters: four vpermb over quarters of 64 entries, each later one merged where the index
//   has bit 6, bit 7, or both;
// - by halves: two vpermi2b over halves of 128 entries, then a blend on bit 7.
// The additions modulo 2^32 run across the four planes from the least significant byte, each
// byte's carry out kept in a mask register for the next. The forms share all but the lookup and
// how many slices of 64 blocks they take side by side.
//
// The kernels carry the target attribute and are never inlined into their callers, so no AVX-512
// instruction runs unless the processor and system support it (block_path.h). Encryption and
// decryption are separate functions, each used from its own direction's file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "block_path.h"

namespace blowfish {

inline constexpr std::uint32_t slice_blocks = 64;

}  // namespace blowfish

#if defined(__x86_64__)
#define BLOWFISH_BYTE_SLICED 1

#include <immintrin.h>

#include "byte_sliced_tables.h"

#define BYTE_SLICED_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace blowfish::byte_sliced {

// The immediate of vpternlog is the truth table of its function of three inputs, which is the
// function applied to these three bit patterns.
inline constexpr int ternary_x = 0xf0, ternary_y = 0xcc, ternary_z = 0xaa;
// x ^ y ^ z.
inline constexpr int xor_of_three = ternary_x ^ ternary_y ^ ternary_z;
// Given two addends x and y and their sum z: the carry out of the sum's top bit is the top bit of
// (x & y) | ((x | y) & ~z), the majority of x, y and ~z.
inline constexpr int carry_of_sum = ((ternary_x & ternary_y) | ((ternary_x | ternary_y) & ~ternary_z)) & 0xff;

// A 32-bit half of 64 blocks: byte[0] holds the most significant bytes.
struct sliced_half {
    __m512i byte[4];
};

BYTE_SLICED_TARGET inline __m512i load(const void* at) { return _mm512_load_si512(at); }

// A byte permute of one vector. GCC 12 warns about the undefined source of the unmasked form.
BYTE_SLICED_TARGET inline __m512i permute(__m512i index, __m512i table) {
    return _mm512_maskz_permutexvar_epi8(~__mmask64{0}, index, table);
}

BYTE_SLICED_TARGET inline void load_slice(const std::uint8_t* at, sliced_half& left, sliced_half& right) {
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

BYTE_SLICED_TARGET inline void store_slice(std::uint8_t* at, const sliced_half& left, const sliced_half& right) {
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

// The two forms of a plane lookup. Each sorts 64 indices once per S-box (lanes_of) and then looks
// up each of the four planes at them (entries). Each also says how many slices the kernel takes
// side by side: by quarters the permutes bound the kernel on the processors that take it, and one
// slice keeps everything in registers; by halves the latency of the carries bounds it, and four
// independent slices hide that latency.
struct by_quarters {
    static constexpr unsigned slices_at_once = 1;

    struct lanes {
        __mmask64 bit6;
        __mmask64 bit7;
        __mmask64 both;
    };

    BYTE_SLICED_TARGET static lanes lanes_of(__m512i index) {
        const __mmask64 bit6 = _mm512_movepi8_mask(_mm512_add_epi8(index, index));
        const __mmask64 bit7 = _mm512_movepi8_mask(index);
        return {bit6, bit7, _kand_mask64(bit6, bit7)};
    }

    // Each lookup overwrites the lanes whose index lies in its quarter or beyond.
    BYTE_SLICED_TARGET static __m512i entries(const std::uint8_t* plane, __m512i index, const lanes& q) {
        __m512i found = permute(index, load(plane));
        found = _mm512_mask_permutexvar_epi8(found, q.bit6, index, load(plane + 64));
        found = _mm512_mask_permutexvar_epi8(found, q.bit7, index, load(plane + 128));
        return _mm512_mask_permutexvar_epi8(found, q.both, index, load(plane + 192));
    }
};

struct by_halves {
    static constexpr unsigned slices_at_once = 4;

    struct lanes {
        __mmask64 bit7;
    };

    BYTE_SLICED_TARGET static lanes lanes_of(__m512i index) { return {_mm512_movepi8_mask(index)}; }

    // Each permute reads 7 bits of the index; bit 7 picks the half.
    BYTE_SLICED_TARGET static __m512i entries(const std::uint8_t* plane, __m512i index, const lanes& h) {
        const __m512i lower = _mm512_permutex2var_epi8(load(plane), index, load(plane + 64));
        const __m512i upper = _mm512_permutex2var_epi8(load(plane + 128), index, load(plane + 192));
        return _mm512_mask_blend_epi8(h.bit7, lower, upper);
    }
};

template <class lookup>
BYTE_SLICED_TARGET inline sliced_half s_box(unsigned box, __m512i index) {
    const typename lookup::lanes lanes = lookup::lanes_of(index);
    sliced_half out;
    for (unsigned j = 0; j < 4; ++j) out.byte[j] = lookup::entries(s_planes.plane[box][j], index, lanes);
    return out;
}

// x + y modulo 2^32.
BYTE_SLICED_TARGET inline sliced_half add(const sliced_half& x, const sliced_half& y) {
    const __m512i minus_one = _mm512_set1_epi8(-1);
    sliced_half sum;
    __mmask64 carry = 0;
    for (int j = 3; j >= 0; --j) {
        sum.byte[j] = _mm512_add_epi8(x.byte[j], y.byte[j]);
        if (j != 3) sum.byte[j] = _mm512_mask_sub_epi8(sum.byte[j], carry, sum.byte[j], minus_one);
        if (j != 0) carry = _mm512_movepi8_mask(_mm512_ternarylogic_epi32(x.byte[j], y.byte[j], sum.byte[j], carry_of_sum));
    }
    return sum;
}

BYTE_SLICED_TARGET inline __m512i key_byte(const std::array<std::uint32_t, 4>& key, unsigned j) {
    return _mm512_set1_epi32(static_cast<int>(key[j]));
}

BYTE_SLICED_TARGET inline void xor_key(sliced_half& h, const std::array<std::uint32_t, 4>& key) {
    for (unsigned j = 0; j < 4; ++j) h.byte[j] = _mm512_xor_si512(h.byte[j], key_byte(key, j));
}

// One Feistel step for 64 blocks: to ^= F(from) ^ key, F(x) = ((S0[x0] + S1[x1]) ^ S2[x2]) + S3[x3].
template <class lookup>
BYTE_SLICED_TARGET inline void sliced_step(sliced_half& to, const sliced_half& from, const std::array<std::uint32_t, 4>& key) {
    sliced_half f = add(s_box<lookup>(0, from.byte[0]), s_box<lookup>(1, from.byte[1]));
    const sliced_half s2 = s_box<lookup>(2, from.byte[2]);
    for (unsigned j = 0; j < 4; ++j) f.byte[j] = _mm512_xor_si512(f.byte[j], s2.byte[j]);
    f = add(f, s_box<lookup>(3, from.byte[3]));
    for (unsigned j = 0; j < 4; ++j)
        to.byte[j] = _mm512_ternarylogic_epi32(to.byte[j], f.byte[j], key_byte(key, j), xor_of_three);
}

inline constexpr std::size_t slice_bytes = 8 * slice_blocks;

// The published rounds over one slice, with the P-array in the given order (decryption is
// encryption with P reversed).
template <class lookup>
BYTE_SLICED_TARGET __attribute__((always_inline)) inline void rounds_of_slice(const round_keys& keys, std::uint8_t* at) {
    sliced_half a, b;
    load_slice(at, a, b);
    xor_key(a, keys[0]);
    for (std::size_t r = 1; r < 17; r += 2) {
        sliced_step<lookup>(b, a, keys[r]);
        sliced_step<lookup>(a, b, keys[r + 1]);
    }
    xor_key(b, keys[17]);
    store_slice(at, b, a);
}

// The same over n slices side by side, a step of each in turn: the slices are independent, so one
// slice's step runs while another's waits for its carries.
template <class lookup, unsigned n>
BYTE_SLICED_TARGET __attribute__((always_inline)) inline void rounds_of_slices_together(const round_keys& keys, std::uint8_t* at) {
    sliced_half a[n], b[n];
    for (unsigned s = 0; s < n; ++s) {
        load_slice(at + s * slice_bytes, a[s], b[s]);
        xor_key(a[s], keys[0]);
    }
    for (std::size_t r = 1; r < 17; r += 2) {
        for (unsigned s = 0; s < n; ++s) sliced_step<lookup>(b[s], a[s], keys[r]);
        for (unsigned s = 0; s < n; ++s) sliced_step<lookup>(a[s], b[s], keys[r + 1]);
    }
    for (unsigned s = 0; s < n; ++s) {
        xor_key(b[s], keys[17]);
        store_slice(at + s * slice_bytes, b[s], a[s]);
    }
}

template <class lookup>
BYTE_SLICED_TARGET __attribute__((always_inline)) inline std::uint8_t* rounds_of_slices(const round_keys& keys,
                                                                                     std::uint8_t* at,
                                                                                     std::uint32_t slices) {
    constexpr unsigned n = lookup::slices_at_once;
    if constexpr (n > 1)
        for (; slices >= n; slices -= n, at += n * slice_bytes) rounds_of_slices_together<lookup, n>(keys, at);
    for (; slices != 0; --slices, at += slice_bytes) rounds_of_slice<lookup>(keys, at);
    return at;
}

template <class lookup>
BYTE_SLICED_TARGET __attribute__((noinline)) std::uint8_t* encrypt_slices(std::uint8_t* first, std::uint32_t slices) {
    return rounds_of_slices<lookup>(encrypt_keys, first, slices);
}

template <class lookup>
BYTE_SLICED_TARGET __attribute__((noinline)) std::uint8_t* decrypt_slices(std::uint8_t* first, std::uint32_t slices) {
    return rounds_of_slices<lookup>(decrypt_keys, first, slices);
}

}  // namespace blowfish::byte_sliced

namespace blowfish {

// Encrypt (or decrypt) slices * 64 blocks from first in place on a byte-sliced path; return the position
// after them. Only for a path that path_supported() accepts, other than the scalar groups.
inline std::uint8_t* encrypt_on_path(block_path path, std::uint8_t* first, std::uint32_t slices) {
    return path == block_path::byte_sliced_halves ? byte_sliced::encrypt_slices<byte_sliced::by_halves>(first, slices)
                                                   : byte_sliced::encrypt_slices<byte_sliced::by_quarters>(first, slices);
}

inline std::uint8_t* decrypt_on_path(block_path path, std::uint8_t* first, std::uint32_t slices) {
    return path == block_path::byte_sliced_halves ? byte_sliced::decrypt_slices<byte_sliced::by_halves>(first, slices)
                                                   : byte_sliced::decrypt_slices<byte_sliced::by_quarters>(first, slices);
}

}  // namespace blowfish

#undef BYTE_SLICED_TARGET
#endif
