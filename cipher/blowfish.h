// Blowfish in ECB mode under the subkey schedule fixed when the programs are configured.
#pragma once

#include <array>
#include <cstdint>

// S0, S1, S2, S3, then P2 to P17. P0 and P1 live only inside the block operations.
extern const std::array<std::uint32_t, 1040> subkey_schedule;

// Each transforms the 8 bytes at position in place and returns position + 8.
std::uint8_t* encrypt_block(std::uint8_t* position);
std::uint8_t* decrypt_block(std::uint8_t* position);

// Transform count consecutive blocks starting at first, in place.
void encrypt_blocks(std::uint8_t* first, std::uint32_t count);
void decrypt_blocks(std::uint8_t* first, std::uint32_t count);
