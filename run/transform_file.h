// What a program consists of: the whole-file run, walking the blocks with the program's direction.
#pragma once

#include "whole_file_run.h"

// The run of either program on this platform: choose, read, transform every whole block with walk,
// choose, write. Ends the process with code 0.
[[noreturn]] void run_whole_file(block_walk walk);

// Each program defines its entry point as the run with its own walk. On Windows the process starts
// there, called with no arguments and no C runtime; on Linux main calls it.
#ifdef _WIN32
extern "C" [[noreturn]] void __stdcall transform_file();
#else
[[noreturn]] void transform_file();
#endif
