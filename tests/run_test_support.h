// Real files in a fresh temporary folder, a chooser that answers from a script, faults injected at
// the platform's seams, and the fixture the run tests share.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "blowfish.h"
#include "posix_platform.h"
#include "random_bytes.h"
#include "whole_file_run.h"

namespace run_test {

using bytes = std::vector<std::uint8_t>;

void write_file(const std::filesystem::path& path, const bytes& content);
bytes read_file(const std::filesystem::path& path);

// What the encrypting run must produce: every whole block through the single-block operation,
// the tail as it was.
bytes encrypted_by_blocks(bytes content);

class temporary_folder {
public:
    temporary_folder();
    ~temporary_folder();
    temporary_folder(const temporary_folder&) = delete;
    temporary_folder& operator=(const temporary_folder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Answers each question in turn with a path, or with a cancel where the script holds nothing.
class scripted_chooser {
public:
    explicit scripted_chooser(std::vector<std::optional<std::filesystem::path>> answers) : answers_(std::move(answers)) {}

    path_chooser function();
    const std::vector<chooser_kind>& asked() const { return asked_; }

private:
    std::vector<std::optional<std::filesystem::path>> answers_;
    std::vector<chooser_kind> asked_;
};

using answers = std::vector<std::optional<std::filesystem::path>>;
using asked = std::vector<chooser_kind>;

constexpr auto input = chooser_kind::input;
constexpr auto output = chooser_kind::output;

// Both ways the output is made: unnamed until finished, and named at once (the fallback for file
// systems without unnamed files, forced here), for cases that must hold on both.
constexpr output_naming both_namings[] = {output_naming::unnamed_until_finished, output_naming::named_at_once};
const char* describe(output_naming naming);

// One whole run over Platform with the choosers answering from the script; returns what was asked.
template <typename Platform = posix_platform>
asked run_with(answers script, block_walk walk = encrypt_blocks,
               output_naming naming = output_naming::unnamed_until_finished) {
    scripted_chooser chooser(std::move(script));
    {
        Platform os(chooser.function(), naming);
        whole_file::run(os, walk);
    }
    return chooser.asked();
}

template <typename Platform = posix_platform>
asked run_named(answers script, output_naming naming) {
    return run_with<Platform>(std::move(script), encrypt_blocks, naming);
}

// Faults the file system will not make on cue, injected at the platform's seams. Each counts in
// strikes how often its fault struck, so that a case can tell a run that met its fault from one
// that ended earlier for another reason.
struct no_memory : posix_platform {
    using posix_platform::posix_platform;
    static inline int strikes = 0;
    std::uint8_t* allocate_zeroed(std::uint32_t) {
        ++strikes;
        return nullptr;
    }
};

struct failing_read : posix_platform {
    using posix_platform::posix_platform;
    static inline int strikes = 0;
    bool read_some(std::uint8_t*, std::uint32_t, std::uint32_t&) {
        ++strikes;
        return false;
    }
};

// The file turns out shorter than its size said: the first read gets part, the next none.
struct file_ends_early : posix_platform {
    using posix_platform::posix_platform;
    static inline int strikes = 0;
    int reads = 0;
    bool read_some(std::uint8_t* at, std::uint32_t want, std::uint32_t& got) {
        if (reads++ != 0) {
            ++strikes;
            got = 0;
            return true;
        }
        return posix_platform::read_some(at, want / 2, got);
    }
};

// Writes go through in small pieces, then fail part-way.
struct write_fails_part_way : posix_platform {
    using posix_platform::posix_platform;
    static inline int strikes = 0;
    std::uint32_t written = 0;
    bool write_some(const std::uint8_t* from, std::uint32_t want, std::uint32_t& put) {
        if (written >= 500) {
            ++strikes;
            return false;
        }
        const bool ok = posix_platform::write_some(from, want < 100 ? want : 100, put);
        written += put;
        return ok;
    }
};

// Fails the flush of a folder (folder true) or of a file (false) with EIO, counting in
// failed_flushes; flushes the others.
template <bool folder>
inline int failed_flushes = 0;

template <bool folder>
int fail_flush_of(int descriptor) {
    struct stat info {};
    if (fstat(descriptor, &info) == 0 && S_ISDIR(info.st_mode) == folder) {
        ++failed_flushes<folder>;
        errno = EIO;
        return -1;
    }
    return fsync(descriptor);
}

// The output's data cannot be brought to disk.
struct flush_fails : posix_platform {
    flush_fails(path_chooser choose, output_naming naming) : posix_platform(std::move(choose), naming) {
        flush_ = fail_flush_of<false>;
    }
};

// The data reaches the disk, the folder holding the new name does not.
struct folder_flush_fails : posix_platform {
    folder_flush_fails(path_chooser choose, output_naming naming) : posix_platform(std::move(choose), naming) {
        flush_ = fail_flush_of<true>;
    }
};

// A read that returns part of the file at a time must still deliver all of it.
struct short_reads_and_writes : posix_platform {
    using posix_platform::posix_platform;
    bool read_some(std::uint8_t* at, std::uint32_t want, std::uint32_t& got) {
        return posix_platform::read_some(at, want < 13 ? want : 13, got);
    }
    bool write_some(const std::uint8_t* from, std::uint32_t want, std::uint32_t& put) {
        return posix_platform::write_some(from, want < 29 ? want : 29, put);
    }
};

// Every name under a folder with its kind, mode, size, modification time and content (or link
// target), so that a test can show a run left everything that existed exactly as it was.
using snapshot = std::map<std::string, std::string>;
snapshot take_snapshot(const std::filesystem::path& folder);

// The promise of every run, checked after it: each name in before is exactly as it was, and the
// only new name, if any, is created holding exactly expected. Pass nullptr when nothing may appear.
void expect_promise_kept(const snapshot& before, const std::filesystem::path& folder,
                         const std::filesystem::path& created, const bytes* expected);

// Runs body in a child process and returns its exit code, or 128 + the signal that ended it.
// Checks inside the child do not reach the test: the child reports through its exit code.
int in_child(const std::function<int()>& body);

// The same in two halves, for children that run side by side: start returns the process id (or
// -1), wait returns what in_child would.
pid_t start_child(const std::function<int()>& body);
int wait_child(pid_t child);

// Drops root for the calling process for good: user and group nobody, no other groups.
bool become_nobody();

// The fixture of the run tests: a fresh folder holding the input in.bin (original: whole blocks past
// the 4 KiB that the output's direct writes take, and a 3-byte tail) and a neighbour file. out.bin
// is the usual output name, not yet made.
class run_fixture : public ::testing::Test {
protected:
    temporary_folder folder;
    const std::filesystem::path in = folder / "in.bin";
    const std::filesystem::path out = folder / "out.bin";
    const bytes original = random_bytes(4099, 23);
    const bytes expected = encrypted_by_blocks(original);

    void SetUp() override {
        write_file(in, original);
        write_file(folder / "neighbour.bin", random_bytes(5000, 5));
    }

    // One run over Platform with the script, then the checks: it asked exactly questions, everything
    // that existed is as it was, and created appeared only if result is given, holding exactly that.
    template <typename Platform = posix_platform>
    void expect_run(answers script, const asked& questions, const std::filesystem::path& created,
                    const bytes* result, output_naming naming = output_naming::unnamed_until_finished) {
        const snapshot before = take_snapshot(folder.path());
        EXPECT_EQ(run_named<Platform>(std::move(script), naming), questions);
        expect_promise_kept(before, folder.path(), created, result);
    }

    // A run that must end after the open dialog, creating nothing and changing nothing.
    template <typename Platform = posix_platform>
    void expect_refused_input(const std::filesystem::path& chosen) {
        SCOPED_TRACE(chosen);
        expect_run<Platform>({chosen, out}, asked{input}, out, nullptr);
    }

    // A run that reaches the save dialog and must leave the chosen output name alone.
    template <typename Platform = posix_platform>
    void expect_refused_output(const std::filesystem::path& chosen) {
        SCOPED_TRACE(chosen);
        expect_run<Platform>({in, chosen}, asked{input, output}, chosen, nullptr);
    }
};

}  // namespace run_test
