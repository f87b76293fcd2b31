#include <windows.h>

#include "transform_file.h"
#include "whole_file_run.h"
#include "win32_platform.h"

// Called from the program's entry point, with no C runtime: nothing to set up and nothing to tear down.
void run_whole_file(block_walk walk) {
    win32_platform::end_quietly_on_fault();
    win32_platform os;
    whole_file::run(os, walk);
    ExitProcess(0);
}
