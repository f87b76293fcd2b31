#include "block_path.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace blowfish {
namespace {

#if defined(__x86_64__)
// AVX-512 F, BW and VBMI in the processor, and their register state enabled by the system (XCR0):
// SSE and AVX state, the opmask registers, the upper halves of zmm0-15, and zmm16-31. Asked by
// hand rather than through the compiler's helpers, which the Windows build without the C runtime
// does not have.
bool has_avx512_vbmi() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(1, 0, a, b, c, d);
    constexpr unsigned osxsave = 1u << 27;
    if ((c & osxsave) == 0) return false;
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    constexpr unsigned avx512_state = 1u << 1 | 1u << 2 | 1u << 5 | 1u << 6 | 1u << 7;
    if ((xcr0 & avx512_state) != avx512_state) return false;
    __cpuid_count(7, 0, a, b, c, d);
    constexpr unsigned avx512f = 1u << 16, avx512bw = 1u << 30;  // in ebx
    constexpr unsigned avx512vbmi = 1u << 1;                      // in ecx
    return (b & avx512f) != 0 && (b & avx512bw) != 0 && (c & avx512vbmi) != 0;
}

// The vendor string "AuthenticAMD", which cpuid leaf 0 returns in ebx, edx, ecx.
bool made_by_amd() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid(0, a, b, c, d);
    constexpr unsigned auth = 0x68747541, enti = 0x69746e65, camd = 0x444d4163;
    return b == auth && d == enti && c == camd;
}

block_path ask_processor() {
    if (!has_avx512_vbmi()) return block_path::scalar_groups;
    return made_by_amd() ? block_path::byte_sliced_halves : block_path::byte_sliced_quarters;
}
#else
block_path ask_processor() { return block_path::scalar_groups; }
#endif

// Asked once, at the first question. Only one thread ever asks: the programs' run has one, and so
// do the tests and the benchmark that force paths.
bool asked = false;
block_path supported = block_path::scalar_groups;
block_path taken = block_path::scalar_groups;

void ask_once() {
    if (asked) return;
    supported = taken = ask_processor();
    asked = true;
}

}  // namespace

block_path processor_path() {
    ask_once();
    return supported;
}

block_path chosen_path() {
    ask_once();
    return taken;
}

bool path_supported(block_path path) {
    return path == block_path::scalar_groups || processor_path() != block_path::scalar_groups;
}

bool force_path(block_path path) {
    ask_once();  // else the first question's answer would overwrite the path forced here
    if (!path_supported(path)) return false;
    taken = path;
    return true;
}

}  // namespace blowfish
