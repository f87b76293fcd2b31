#include "blowfish.h"
#include "product_schedule.h"

namespace {
constexpr std::uint32_t p0 = blowfish::product_schedule.p0;
constexpr std::uint32_t p1 = blowfish::product_schedule.p1;
}  // namespace

std::uint8_t* decrypt_block(std::uint8_t* position) {
    return blowfish::decrypt_at(subkey_schedule.data(), subkey_schedule.data() + 1024, p0, p1, position);
}

void decrypt_blocks(std::uint8_t* first, std::uint32_t count) {
    for (; count != 0; --count) first = decrypt_block(first);
}
