#include "blowfish.h"
#include "subkey_schedule.h"

constinit const std::array<std::uint32_t, blowfish::schedule_words> subkey_schedule =
    blowfish::configured_schedule.table;
