// The whole run of either program, written once over a platform that supplies the file choosers,
// the file calls and the buffer. Every way out simply returns; the caller then ends the process.
#pragma once

#include <concepts>
#include <cstdint>

// A platform holds the current file (the input until it is closed, then the output) and the chosen
// paths. Choosing returns false on cancel or failure; the input is opened for reading and writing,
// held exclusively; the output is a new file only, never an existing name; finishing brings it to
// stable storage, named and closed; discarding closes and deletes it.
template <typename P>
concept whole_file_platform = requires(P os, std::uint8_t* at, const std::uint8_t* from, std::uint32_t n,
                                       std::uint32_t& done) {
    { os.choose_input() } -> std::same_as<bool>;
    { os.choose_output() } -> std::same_as<bool>;
    { os.open_input() } -> std::same_as<bool>;
    { os.input_length() } -> std::same_as<std::uint64_t>;
    { os.allocate_zeroed(n) } -> std::same_as<std::uint8_t*>;  // nullptr on failure
    { os.read_some(at, n, done) } -> std::same_as<bool>;
    { os.create_output() } -> std::same_as<bool>;
    { os.write_some(from, n, done) } -> std::same_as<bool>;
    { os.finish_output() } -> std::same_as<bool>;
    os.close_file();
    os.discard_output();
    os.release(at);
};

using block_walk = void (*)(std::uint8_t* first, std::uint32_t count);

namespace whole_file {

// One read may return less than asked (Linux gives at most about 2 GiB a call), so read until
// every byte has arrived; a file that ends early counts as a failed read.
template <whole_file_platform Platform>
bool read_all(Platform& os, std::uint8_t* buffer, std::uint32_t size) {
    for (std::uint32_t done = 0; done < size;) {
        std::uint32_t got = 0;
        if (!os.read_some(buffer + done, size - done, got) || got == 0) return false;
        done += got;
    }
    return true;
}

template <whole_file_platform Platform>
bool write_all(Platform& os, const std::uint8_t* buffer, std::uint32_t size) {
    for (std::uint32_t done = 0; done < size;) {
        std::uint32_t put = 0;
        if (!os.write_some(buffer + done, size - done, put) || put == 0) return false;
        done += put;
    }
    return true;
}

template <whole_file_platform Platform>
void run(Platform& os, block_walk walk) {
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

    walk(buffer, size / 8);

    if (os.choose_output() && os.create_output()) {
        if (!write_all(os, buffer, size) || !os.finish_output()) os.discard_output();
    }
    os.release(buffer);
}

}  // namespace whole_file
