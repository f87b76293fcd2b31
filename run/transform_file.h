// What a program consists of: its direction over whole blocks, bound to the shared run.
#pragma once

#include <cstdint>

// Supplied by each program: transforms count consecutive 8-byte blocks in place.
void transform_blocks(std::uint8_t* first, std::uint32_t count);

// The run of either program: choose, read, transform, choose, write. Ends the process with code 0.
// On Windows it is the process's entry point, called with no arguments and no C runtime.
#ifdef _WIN32
extern "C" [[noreturn]] void __stdcall transform_file();
#else
[[noreturn]] void transform_file();
#endif
