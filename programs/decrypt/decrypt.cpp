#include "blowfish.h"
#include "transform_file.h"

void transform_blocks(std::uint8_t* first, std::uint32_t count) { decrypt_blocks(first, count); }
