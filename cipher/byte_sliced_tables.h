// The byte-sliced kernel's constant tables (byte_sliced_blocks.h), made at compile time from the
// configured schedule: the S-boxes as byte planes, the P-array as bytes to broadcast, and the
// indices of the transposes that bring 64 blocks in and out of the byte-sliced layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "blowfish.h"
#include "subkey_schedule.h"

namespace blowfish::byte_sliced {

// plane[box][j][i]: byte j (0 the most significant) of entry i of S-box box.
struct s_box_planes {
    std::uint8_t plane[4][4][256];
};

constexpr s_box_planes make_planes() {
    const auto& table = configured_schedule.table;
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
    round_keys keys{};
    for (std::size_t r = 0; r < p_array_words; ++r)
        for (std::size_t j = 0; j < 4; ++j)
            keys[r][j] = ((configured_schedule.p(decrypting ? p_array_words - 1 - r : r) >> (24 - 8 * j)) & 0xffu) * 0x01010101u;
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

// After the three splits, vector v holds byte j of all blocks where v is j with its 3 bits reversed.
constexpr unsigned reversed3(unsigned j) { return (j & 1) << 2 | (j & 2) | (j & 4) >> 2; }

}  // namespace blowfish::byte_sliced
