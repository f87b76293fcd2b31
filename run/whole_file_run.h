// The whole run of either program, written once over a platform that supplies the file choosers,
// the file calls and the buffer. Every way out simply returns; the caller then ends the process.
//
// The platform holds the current file (the input until it is closed, then the output) and the
// chosen paths, and offers:
//   bool choose_input();  bool choose_output();          false on cancel or failure
//   bool open_input();                                    read and write access, held exclusively
//   std::uint64_t input_length();                         of the open input
//   std::uint8_t* allocate_zeroed(std::uint32_t size);    nullptr on failure
//   bool read_some(std::uint8_t*, std::uint32_t want, std::uint32_t& got);
//   bool create_output();                                 new file only, never an existing name
//   bool write_some(const std::uint8_t*, std::uint32_t want, std::uint32_t& put);
//   bool finish_output();                                 to stable storage, named, closed
//   void close_file();
//   void discard_output();                                closes and deletes the new file
//   void release(std::uint8_t* buffer);
#pragma once

#include <cstdint>

using block_walk = void (*)(std::uint8_t* first, std::uint32_t count);

namespace whole_file {

// One read may return less than asked (Linux gives at most about 2 GiB a call), so read until
// every byte has arrived; a file that ends early counts as a failed read.
template <typename Platform>
bool read_all(Platform& os, std::uint8_t* buffer, std::uint32_t size) {
    for (std::uint32_t done = 0; done < size;) {
        std::uint32_t got = 0;
        if (!os.read_some(buffer + done, size - done, got) || got == 0) return false;
        done += got;
    }
    return true;
}

template <typename Platform>
bool write_all(Platform& os, const std::uint8_t* buffer, std::uint32_t size) {
    for (std::uint32_t done = 0; done < size;) {
        std::uint32_t put = 0;
        if (!os.write_some(buffer + done, size - done, put) || put == 0) return false;
        done += put;
    }
    return true;
}

template <typename Platform>
void run(Platform& os, block_walk transform_blocks) {
    if (!os.choose_input()) return;
    if (!os.open_input()) return;

    const std::uint64_t length = os.input_length();
    const auto size = static_cast<std::uint32_t>(length);
    if (size == 0 || length >> 32 != 0) {
        os.close_file();
        return;
    }

    std::uint8_t* const buffer = os.allocate_zeroed(size);
    if (buffer == nullptr) {
        os.close_file();
        return;
    }
    const bool read = read_all(os, buffer, size);
    os.close_file();
    if (!read) {
        os.release(buffer);
        return;
    }

    transform_blocks(buffer, size / 8);

    if (os.choose_output() && os.create_output()) {
        if (!write_all(os, buffer, size) || !os.finish_output()) os.discard_output();
    }
    os.release(buffer);
}

}  // namespace whole_file
