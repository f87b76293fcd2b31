// The schedule made at compile time from the key chosen when the build was configured.
#pragma once

#include "configured_key.h"
#include "key_setup.h"

namespace blowfish {

inline constexpr stored_schedule product_schedule = expand_key(configured_key);

}  // namespace blowfish
