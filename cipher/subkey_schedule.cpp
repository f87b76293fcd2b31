#include "blowfish.h"
#include "product_schedule.h"

constinit const std::array<std::uint32_t, 1040> subkey_schedule = blowfish::product_schedule.table;
