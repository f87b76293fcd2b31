// Which code the multi-block operations (encrypt_blocks, decrypt_blocks) run, chosen once from the
// processor: the byte-sliced kernel in one of its two forms of plane lookup (byte_sliced_blocks.h)
// where the processor has AVX-512 VBMI, the interleaved scalar groups (blowfish_rounds.h) elsewhere.
#pragma once

#include <cstdint>

namespace blowfish {

enum class block_path : std::uint8_t {
    scalar_groups,
    // Byte-sliced, each plane lookup four one-source byte permutes over quarters of 64 entries:
    // the form for processors on which a two-source permute costs two one-source ones (Intel).
    byte_sliced_quarters,
    // Byte-sliced, each plane lookup two two-source byte permutes over halves of 128 entries and a
    // blend: the form for processors that issue a two-source permute as cheaply as a one-source one (AMD).
    byte_sliced_halves,
};

// Every path with its name, in the enum's order.
struct named_path {
    block_path path;
    const char* name;
};
inline constexpr named_path all_paths[] = {{block_path::scalar_groups, "ScalarGroups"},
                                           {block_path::byte_sliced_quarters, "ByteSlicedQuarters"},
                                           {block_path::byte_sliced_halves, "ByteSlicedHalves"}};
constexpr const char* name_of(block_path path) { return all_paths[static_cast<int>(path)].name; }

// The path this processor and system support, the form picked by the processor's maker. Asked once.
block_path processor_path();

// The path the multi-block operations take now: the processor's, unless a test forced another.
block_path chosen_path();

// For the tests and the benchmark: the multi-block operations take path from now on, so that each
// path is checked and measured on one machine. Returns false and changes nothing where the
// processor cannot run it. force_path(processor_path()) undoes it. The programs never call it.
bool force_path(block_path path);

// Whether the processor and system can run path.
bool path_supported(block_path path);

}  // namespace blowfish
