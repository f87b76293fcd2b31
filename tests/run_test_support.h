// Real files in a fresh temporary folder, whole runs with the choosers answering from a script,
// hooks through which a case replaces any step of the Linux platform, and the run tests' fixture.
#pragma once

#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

void write_file(const fs::path& path, const bytes& content);
bytes read_file(const fs::path& path);

// What the encrypting run must produce: every whole block through the single-block operation,
// the tail as it was.
bytes encrypted_by_blocks(bytes content);

// The chooser answers each question in turn with a path, or with a cancel where the script holds
// nothing.
using answers = std::vector<std::optional<fs::path>>;
using asked = std::vector<chooser_kind>;
constexpr auto input = chooser_kind::input;
constexpr auto output = chooser_kind::output;

// Both ways the output is made: unnamed until finished, and named at once (the fallback for file
// systems without unnamed files, forced here), for cases that must hold on both.
constexpr output_naming both_namings[] = {output_naming::unnamed_until_finished, output_naming::named_at_once};
inline const char* describe(output_naming naming) {
    return naming == output_naming::named_at_once ? "output named at once" : "output unnamed until finished";
}

// Steps of the Linux platform a case replaces, each given the platform to take the real step on;
// an empty hook is the real step. The fixture clears them. A planted fault counts in strikes each
// time it strikes, so that a case can tell a run that met its fault from one that ended earlier.
struct platform_hooks {
    std::function<bool(posix_platform&)> open_input{};
    std::function<std::uint64_t(posix_platform&)> input_length{};
    std::function<std::uint8_t*(posix_platform&, std::uint32_t size)> allocate_zeroed{};
    std::function<bool(posix_platform&, std::uint8_t* at, std::uint32_t want, std::uint32_t& got)> read_some{};
    std::function<bool(posix_platform&)> create_output{};
    std::function<bool(posix_platform&, const std::uint8_t* from, std::uint32_t want, std::uint32_t& put)> write_some{};
    std::function<bool(posix_platform&)> finish_output{};
    std::function<int(int descriptor)> flush{};  // of the output's data and of its folder
    std::function<void()> before_reopen{};       // between the look at the input and its open
};
inline platform_hooks hooks;
inline int strikes = 0;

// One whole run on the hooked platform; returns what was asked. As nobody (root may write
// anything), the run is made in a child that has become the user nobody; strikes here grows by
// the child's.
asked run(answers script, output_naming naming = output_naming::unnamed_until_finished, bool as_nobody = false,
          block_walk walk = encrypt_blocks);
const passwd& nobody();

// Every name under a folder with its kind, mode, size, modification time and content (or link
// target), so that a test can show a run left everything that existed exactly as it was.
using snapshot = std::map<std::string, std::string>;
snapshot take_snapshot(const fs::path& folder);

// The promise of every run, checked after it: each name in before is exactly as it was, and the
// only new name, if any, is created holding exactly expected. Pass nullptr when nothing may appear.
void expect_promise_kept(const snapshot& before, const fs::path& folder, const fs::path& created, const bytes* expected);

// Runs body in a child process: start returns the process id (or -1), wait returns its exit code,
// or 128 + the signal that ended it. Checks inside the child do not reach the test.
pid_t start_child(const std::function<int()>& body);
int wait_child(pid_t child);
inline int in_child(const std::function<int()>& body) { return wait_child(start_child(body)); }

// A pipe carrying single bytes between a test and its children; wait returns the byte, 0 on failure.
struct channel {
    int ends[2] = {-1, -1};
    channel() { EXPECT_EQ(pipe(ends), 0); }
    ~channel() {
        close(ends[0]);
        close(ends[1]);
    }
    bool send(char byte = 'g') const { return write(ends[1], &byte, 1) == 1; }
    char wait() const {
        char byte = 0;
        return read(ends[0], &byte, 1) == 1 ? byte : 0;
    }
};

fs::path make_temporary_folder();
void remove_temporary_folder(const fs::path& folder);

// The fixture of the run tests: a fresh folder holding the input in.bin (original: whole blocks past
// the 4 KiB that the output's direct writes take, and a 3-byte tail) and a neighbour file. out.bin
// is the usual output name, not yet made.
class run_fixture : public ::testing::Test {
protected:
    ~run_fixture() override { remove_temporary_folder(folder); }

    const fs::path folder = make_temporary_folder();
    const fs::path in = folder / "in.bin";
    const fs::path out = folder / "out.bin";
    const bytes original = random_bytes(4099, 23);
    const bytes expected = encrypted_by_blocks(original);

    void SetUp() override {
        hooks = {};
        strikes = 0;
        write_file(in, original);
        write_file(folder / "neighbour.bin", random_bytes(5000, 5));
    }

    // One run with the script, then the checks: it asked exactly questions, everything that existed
    // is as it was, and created appeared only if result is given, holding exactly that.
    void expect_run(answers script, const asked& questions, const fs::path& created, const bytes* result,
                    output_naming naming = output_naming::unnamed_until_finished, bool as_nobody = false,
                    block_walk walk = encrypt_blocks) {
        const snapshot before = take_snapshot(folder);
        EXPECT_EQ(run(std::move(script), naming, as_nobody, walk), questions);
        expect_promise_kept(before, folder, created, result);
    }
};

}  // namespace run_test
