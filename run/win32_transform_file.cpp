#include <windows.h>

#include "transform_file.h"
#include "whole_file_run.h"
#include "win32_platform.h"

// The process starts here, with no C runtime: nothing to set up and nothing to tear down.
void __stdcall transform_file() {
    win32_platform::end_quietly_on_fault();
    win32_platform os;
    whole_file::run(os, transform_blocks);
    ExitProcess(0);
}
