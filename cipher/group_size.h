// How many consecutive blocks the multi-block operations interleave. Measured on an x86-64 AMD EPYC
// (GCC 12, -O3): 1 block 140 MB/s, 2: 235, 4: 560, 6: 700, 8: 730, 10: 710, 12: 670, 16: 650. The
// halves of 8 blocks do not all fit in the 16 registers, but the spills go to the stack, which the
// processor forwards cheaply, and the wider overlap still wins. 32-bit x86 code cannot run on that
// machine, so i386 was measured as x86-64 code kept to 8 registers (-ffixed-r8 .. -ffixed-r15,
// non-PIC so the tables are addressed absolutely, as in the Windows build): 2: 270, 4: 430, 5: 500,
// 6: 540, 8: 590, 16: 320 MB/s. 8 wins there too.
#pragma once

#include <cstdint>

namespace blowfish {

inline constexpr std::uint32_t group_blocks = 8;

static_assert((group_blocks & (group_blocks - 1)) == 0, "a power of two keeps count / group_blocks a shift");

}  // namespace blowfish
