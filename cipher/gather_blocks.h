// The multi-block operations done with AVX2 gathers: 16 blocks a group, as two vectors of eight
// 32-bit lanes per half, each round fetching its S-box words with four 8-lane gathers per vector.
// Built on x86-64 Linux only and called only where the processor has AVX2 (gather_supported()).
// Not used by the programs: on the machine it was measured on (AMD EPYC) it reached about 560 MB/s
// against about 730 MB/s for the scalar groups of eight (see group_size.h), so it stays as a
// measured, tested alternative that the benchmark reports beside the scalar path.
#pragma once

#include <cstdint>

namespace blowfish {

inline constexpr std::uint32_t gather_group_blocks = 16;

bool gather_supported();

// Like encrypt_blocks/decrypt_blocks; the blocks after the last whole group of 16 go through
// encrypt_blocks/decrypt_blocks. Only to be called when gather_supported().
void encrypt_blocks_gather(std::uint8_t* first, std::uint32_t count);
void decrypt_blocks_gather(std::uint8_t* first, std::uint32_t count);

}  // namespace blowfish
