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

// The chooser answers each question in turn with a path, or with a cancel where the script holds
// nothing.
using answers = std::vector<std::optional<std::filesystem::path>>;
using asked = std::vector<chooser_kind>;

constexpr auto input = chooser_kind::input;
constexpr auto output = chooser_kind::output;

// Both ways the output is made: unnamed until finished, and named at once (the fallback for file
// systems without unnamed files, forced here), for cases that must hold on both.
constexpr output_naming both_namings[] = {output_naming::unnamed_until_finished, output_naming::named_at_once};
const char* describe(output_naming naming);

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

struct hooked_platform : posix_platform {
    hooked_platform(path_chooser choose, output_naming naming) : posix_platform(std::move(choose), naming) {
        flush_ = [](int descriptor) { return hooks.flush ? hooks.flush(descriptor) : fsync(descriptor); };
        reopen_ = [](int looked_at) {
            if (hooks.before_reopen) hooks.before_reopen();
            return reopen(looked_at);
        };
    }
    bool open_input() { return hooks.open_input ? hooks.open_input(*this) : posix_platform::open_input(); }
    std::uint64_t input_length() { return hooks.input_length ? hooks.input_length(*this) : posix_platform::input_length(); }
    std::uint8_t* allocate_zeroed(std::uint32_t size) {
        return hooks.allocate_zeroed ? hooks.allocate_zeroed(*this, size) : posix_platform::allocate_zeroed(size);
    }
    bool read_some(std::uint8_t* at, std::uint32_t want, std::uint32_t& got) {
        return hooks.read_some ? hooks.read_some(*this, at, want, got) : posix_platform::read_some(at, want, got);
    }
    bool create_output() { return hooks.create_output ? hooks.create_output(*this) : posix_platform::create_output(); }
    bool write_some(const std::uint8_t* from, std::uint32_t want, std::uint32_t& put) {
        return hooks.write_some ? hooks.write_some(*this, from, want, put) : posix_platform::write_some(from, want, put);
    }
    bool finish_output() { return hooks.finish_output ? hooks.finish_output(*this) : posix_platform::finish_output(); }
};

// One whole run on the hooked platform; returns what was asked.
asked run(answers script, output_naming naming = output_naming::unnamed_until_finished,
          block_walk walk = encrypt_blocks);

// The same run in a child as the user nobody (root may write anything), which reports what was
// asked and the strikes through its exit code; strikes here grows by the child's.
asked run_as_nobody(answers script, output_naming naming = output_naming::unnamed_until_finished);
const passwd& nobody();

// Every name under a folder with its kind, mode, size, modification time and content (or link
// target), so that a test can show a run left everything that existed exactly as it was.
using snapshot = std::map<std::string, std::string>;
snapshot take_snapshot(const std::filesystem::path& folder);

// The promise of every run, checked after it: each name in before is exactly as it was, and the
// only new name, if any, is created holding exactly expected. Pass nullptr when nothing may appear.
void expect_promise_kept(const snapshot& before, const std::filesystem::path& folder,
                         const std::filesystem::path& created, const bytes* expected);

// Runs body in a child process: start returns the process id (or -1), wait returns its exit code,
// or 128 + the signal that ended it. Checks inside the child do not reach the test.
pid_t start_child(const std::function<int()>& body);
int wait_child(pid_t child);
inline int in_child(const std::function<int()>& body) { return wait_child(start_child(body)); }

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
        hooks = {};
        strikes = 0;
        write_file(in, original);
        write_file(folder / "neighbour.bin", random_bytes(5000, 5));
    }
    void TearDown() override { hooks = {}; }

    // One run with the script (as nobody if asked), then the checks: it asked exactly questions,
    // everything that existed is as it was, and created appeared only if result is given, holding
    // exactly that.
    void expect_run(answers script, const asked& questions, const std::filesystem::path& created, const bytes* result,
                    output_naming naming = output_naming::unnamed_until_finished, bool as_nobody = false) {
        const snapshot before = take_snapshot(folder.path());
        EXPECT_EQ(as_nobody ? run_as_nobody(std::move(script), naming) : run(std::move(script), naming), questions);
        expect_promise_kept(before, folder.path(), created, result);
    }
};

}  // namespace run_test
