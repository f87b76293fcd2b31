// The file side of the run on Windows: the common file dialogs and the file calls of KERNEL32.
// A process makes one run on one thread, so the chosen path and the open file are program-wide
// state and every operation is a plain static function. (The system's dialogs start threads of
// their own; nothing there touches this state.)
#pragma once

#include <cstdint>

struct win32_platform {
    // From here on, a fault ends the process with code 0 and leaves no unfinished output.
    static void end_quietly_on_fault();
    static bool choose_input();
    static bool choose_output();
    static bool open_input();
    static std::uint64_t input_length();
    static std::uint8_t* allocate_zeroed(std::uint32_t size);
    static bool read_some(std::uint8_t* at, std::uint32_t want, std::uint32_t& got);
    static bool create_output();
    static bool write_some(const std::uint8_t* from, std::uint32_t want, std::uint32_t& put);
    static bool finish_output();
    static void close_file();
    static void discard_output();
    static void release(std::uint8_t* buffer);
};
