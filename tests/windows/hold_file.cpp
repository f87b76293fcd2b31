// hold_file.exe PATH: holds the file as another program would, open for reading and writing with
// no sharing; says "held" once it has it, and keeps it until it is killed.
#include <windows.h>

#include <cstdio>

int main(int, char** argv) {
    HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::puts("held");
    std::fflush(stdout);
    for (;;) Sleep(INFINITE);
}
