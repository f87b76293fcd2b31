#include "gather_blocks.h"

#include <immintrin.h>

#include "blowfish.h"
#include "product_schedule.h"

namespace {

constexpr std::uint32_t p0 = blowfish::product_schedule.p0;
constexpr std::uint32_t p1 = blowfish::product_schedule.p1;
constexpr unsigned vectors = 2;

struct lanes {
    __m256i a[vectors];
    __m256i b[vectors];
};

__attribute__((target("avx2"))) inline __m256i broadcast(std::uint32_t word) {
    return _mm256_set1_epi32(static_cast<int>(word));
}

// Reverses the bytes of every 32-bit lane: blocks are big-endian words.
__attribute__((target("avx2"))) inline __m256i swap_bytes(__m256i v) {
    const __m256i order = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,  //
                                           3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    return _mm256_shuffle_epi8(v, order);
}

__attribute__((target("avx2"))) inline __m256i round_function(const std::uint32_t* s, __m256i x) {
    const int* t = reinterpret_cast<const int*>(s);
    const __m256i low_byte = broadcast(0xff);
    const __m256i i0 = _mm256_srli_epi32(x, 24);
    const __m256i i1 = _mm256_and_si256(_mm256_srli_epi32(x, 16), low_byte);
    const __m256i i2 = _mm256_and_si256(_mm256_srli_epi32(x, 8), low_byte);
    const __m256i i3 = _mm256_and_si256(x, low_byte);
    const __m256i sum = _mm256_add_epi32(_mm256_i32gather_epi32(t, i0, 4), _mm256_i32gather_epi32(t + 256, i1, 4));
    return _mm256_add_epi32(_mm256_xor_si256(sum, _mm256_i32gather_epi32(t + 512, i2, 4)),
                            _mm256_i32gather_epi32(t + 768, i3, 4));
}

// to ^= F(from) ^ p, for both vectors.
__attribute__((target("avx2"))) inline void round(const std::uint32_t* s, __m256i* to, const __m256i* from,
                                                  std::uint32_t p) {
    const __m256i key = broadcast(p);
    for (unsigned v = 0; v < vectors; ++v)
        to[v] = _mm256_xor_si256(to[v], _mm256_xor_si256(round_function(s, from[v]), key));
}

// 64 bytes (8 blocks) per vector pair: the left halves go to a, the right halves to b, in the lane
// order 0 1 4 5 | 2 3 6 7, which store undoes.
__attribute__((target("avx2"))) inline void load(const std::uint8_t* at, lanes& g) {
    for (unsigned v = 0; v < vectors; ++v) {
        const __m256 lo =
            _mm256_castsi256_ps(swap_bytes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 64 * v))));
        const __m256 hi =
            _mm256_castsi256_ps(swap_bytes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 64 * v + 32))));
        g.a[v] = _mm256_castps_si256(_mm256_shuffle_ps(lo, hi, 0x88));
        g.b[v] = _mm256_castps_si256(_mm256_shuffle_ps(lo, hi, 0xdd));
    }
}

// Stores b ^ p_last as the left halves and a as the right, where the rounds leave them.
__attribute__((target("avx2"))) inline void store_swapped(std::uint8_t* at, const lanes& g, std::uint32_t p_last) {
    const __m256i key = broadcast(p_last);
    for (unsigned v = 0; v < vectors; ++v) {
        const __m256i left = _mm256_xor_si256(g.b[v], key);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(at + 64 * v), swap_bytes(_mm256_unpacklo_epi32(left, g.a[v])));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(at + 64 * v + 32),
                            swap_bytes(_mm256_unpackhi_epi32(left, g.a[v])));
    }
}

__attribute__((target("avx2"))) void encrypt_groups(std::uint8_t* at, std::uint32_t groups) {
    const std::uint32_t* s = subkey_schedule.data();
    const std::uint32_t* p = s + 1024;
    for (; groups != 0; --groups, at += 64 * vectors) {
        lanes g;
        load(at, g);
        for (unsigned v = 0; v < vectors; ++v) g.a[v] = _mm256_xor_si256(g.a[v], broadcast(p0));
        round(s, g.b, g.a, p1);
        round(s, g.a, g.b, p[0]);
        for (int i = 1; i < 15; i += 2) {
            round(s, g.b, g.a, p[i]);
            round(s, g.a, g.b, p[i + 1]);
        }
        store_swapped(at, g, p[15]);
    }
}

__attribute__((target("avx2"))) void decrypt_groups(std::uint8_t* at, std::uint32_t groups) {
    const std::uint32_t* s = subkey_schedule.data();
    const std::uint32_t* p = s + 1024;
    for (; groups != 0; --groups, at += 64 * vectors) {
        lanes g;
        load(at, g);
        for (unsigned v = 0; v < vectors; ++v) g.a[v] = _mm256_xor_si256(g.a[v], broadcast(p[15]));
        round(s, g.b, g.a, p[14]);
        for (int i = 13; i > 0; i -= 2) {
            round(s, g.a, g.b, p[i]);
            round(s, g.b, g.a, p[i - 1]);
        }
        round(s, g.a, g.b, p1);
        store_swapped(at, g, p0);
    }
}

}  // namespace

namespace blowfish {

static_assert(gather_group_blocks == 8 * vectors);

bool gather_supported() { return __builtin_cpu_supports("avx2"); }

void encrypt_blocks_gather(std::uint8_t* first, std::uint32_t count) {
    encrypt_groups(first, count / gather_group_blocks);
    encrypt_blocks(first + 8 * std::size_t{count / gather_group_blocks * gather_group_blocks},
                   count % gather_group_blocks);
}

void decrypt_blocks_gather(std::uint8_t* first, std::uint32_t count) {
    decrypt_groups(first, count / gather_group_blocks);
    decrypt_blocks(first + 8 * std::size_t{count / gather_group_blocks * gather_group_blocks},
                   count % gather_group_blocks);
}

}  // namespace blowfish
