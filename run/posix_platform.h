// The file side of the run on Linux, with the choosers passed in so that tests can script them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

enum class chooser_kind { input, output };

// Fills path and returns true when the user chose one; false on cancel or failure.
using path_chooser = std::function<bool(chooser_kind, std::string& path)>;

class posix_platform {
public:
    explicit posix_platform(path_chooser choose) : choose_(std::move(choose)) {}
    ~posix_platform();
    posix_platform(const posix_platform&) = delete;
    posix_platform& operator=(const posix_platform&) = delete;

    bool choose_input() { return choose(chooser_kind::input); }
    bool choose_output() { return choose(chooser_kind::output); }
    bool open_input();
    std::uint64_t input_length();
    std::uint8_t* allocate_zeroed(std::uint32_t size);
    bool read_some(std::uint8_t* at, std::uint32_t want, std::uint32_t& got);
    bool create_output();
    bool write_some(const std::uint8_t* from, std::uint32_t want, std::uint32_t& put);
    bool finish_output();  // to stable storage, then gives the output its name and closes it
    void close_file();
    void discard_output();
    void release(std::uint8_t* buffer);

protected:
    bool name_output();  // gives the finished output its chosen name, never replacing one

private:
    bool choose(chooser_kind kind);

    path_chooser choose_;
    std::string path_;
    int file_ = -1;
    bool direct_ = false;   // the output is being written with O_DIRECT
    bool unnamed_ = false;  // the open output has no name yet
    std::uint64_t output_offset_ = 0;
    void* mapping_ = nullptr;  // the buffer, mapped by allocate_zeroed
    std::size_t mapping_size_ = 0;
};
