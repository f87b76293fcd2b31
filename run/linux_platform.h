// The file side of the run on Linux, with the choosers passed in so that tests can script them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <unistd.h>

enum class chooser_kind { input, output };

// Fills path and returns true when the user chose one; false on cancel or failure.
using path_chooser = std::function<bool(chooser_kind, std::string& path)>;

// How the output is made: without a name until it is finished, where the file system can make
// such a file (falling back to the next form where it cannot), or under its chosen name at once,
// as on file systems without unnamed files.
enum class output_naming { unnamed_until_finished, named_at_once };

class linux_platform {
public:
    explicit linux_platform(path_chooser choose, output_naming naming = output_naming::unnamed_until_finished)
        : choose_(std::move(choose)), naming_(naming) {}
    ~linux_platform();
    linux_platform(const linux_platform&) = delete;
    linux_platform& operator=(const linux_platform&) = delete;

    bool choose_input() { return choose(chooser_kind::input); }
    bool choose_output() { return choose(chooser_kind::output); }
    bool open_input();
    std::uint64_t input_length();
    std::uint8_t* allocate_zeroed(std::uint32_t size);
    bool read_some(std::uint8_t* at, std::uint32_t want, std::uint32_t& got);
    bool create_output();
    bool write_some(const std::uint8_t* from, std::uint32_t want, std::uint32_t& put);
    bool finish_output();  // to stable storage, gives the output its name, flushes its folder, closes it
    void close_file();
    void discard_output();
    void release(std::uint8_t* buffer);

protected:
    bool name_output();  // gives the finished output its chosen name, never replacing one

    // Brings a file or folder to stable storage; a seam so that tests can make the flush fail.
    int (*flush_)(int descriptor) = fsync;

    // Opens the regular file that open_input has looked at, for reading and writing; a seam so that
    // tests can swap the name meanwhile.
    static int reopen(int looked_at);
    int (*reopen_)(int looked_at) = reopen;

    // The seconds the kernel lets another program's open wait for a lease to be given up
    // (/proc/sys/fs/lease-break-time; 0: for ever; -1: unknown); a seam so that tests can shorten it.
    static int lease_break_time();
    int (*lease_break_time_)() = lease_break_time;

private:
    bool choose(chooser_kind kind);
    bool flush_folder();
    bool lease_still_protects();

    path_chooser choose_;
    output_naming naming_;
    std::string path_;
    int file_ = -1;
    bool leased_ = false;   // the open input is held under a write lease
    int break_seconds_ = -1;  // lease_break_time() when the lease was taken
    std::int64_t whole_seen_ = 0;  // the last moment (monotonic ns) before which the lease was seen whole
    bool direct_ = false;   // the output is being written with O_DIRECT
    bool unnamed_ = false;  // the open output has no name yet
    std::uint64_t output_offset_ = 0;
    std::uint8_t* mapping_ = nullptr;  // the buffer, mapped by allocate_zeroed
    std::size_t mapping_size_ = 0;
};
