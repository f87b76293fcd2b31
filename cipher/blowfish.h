// Blowfish in ECB mode under the subkey schedule fixed when the programs are configured.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace blowfish {

// The schedule is stored as one table: the four S-boxes S0, S1, S2, S3 first, then P2 to P17.
// P0 and P1 are constants inside the block operations.
inline constexpr std::size_t sbox_words = 4 * 256;
inline constexpr std::size_t p_array_words = 18;
inline constexpr std::size_t schedule_words = sbox_words + p_array_words - 2;

}  // namespace blowfish

extern const std::array<std::uint32_t, blowfish::schedule_words> subkey_schedule;

// Each transforms the 8 bytes at position in place and returns position + 8.
std::uint8_t* encrypt_block(std::uint8_t* position);
std::uint8_t* decrypt_block(std::uint8_t* position);

// Transform count consecutive blocks starting at first, in place.
void encrypt_blocks(std::uint8_t* first, std::uint32_t count);
void decrypt_blocks(std::uint8_t* first, std::uint32_t count);
