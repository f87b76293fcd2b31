// The schedule of the key chosen when the build was configured, made at compile time by the
// published key setup, once. Its table is subkey_schedule (blowfish.h, defined in
// subkey_schedule.cpp); P0 and P1 are constants of the block operations and are defined here.
#pragma once

#include <cstdint>

#include "configured_key.h"
#include "key_setup.h"

namespace blowfish {

inline constexpr expanded_key configured_schedule = expand_key(configured_key);
inline constexpr std::uint32_t subkey_p0 = configured_schedule.p0;
inline constexpr std::uint32_t subkey_p1 = configured_schedule.p1;

}  // namespace blowfish
