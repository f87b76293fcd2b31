// Real files in a fresh temporary folder, whole runs with the choosers answering from a script,
// hooks through which a case replaces any step of the Linux platform, and the run tests' fixture.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#ifdef HAVE_OPENSSL
#include <openssl/blowfish.h>
// BF_* is deprecated in OpenSSL 3 in favour of EVP, whose Blowfish needs the legacy provider.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "blowfish.h"
#include "configured_key.h"
#include "linux_platform.h"
#include "random_bytes.h"
#include "whole_file_run.h"

namespace run_test {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

inline void write_file(const fs::path& path, const bytes& content) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    if (!file) ADD_FAILURE() << "cannot write " << path;
}

inline bytes read_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// What the encrypting run must produce: the whole blocks encrypted by OpenSSL under the configured
// key, the tail as it was. Where OpenSSL is missing, the product's single-block operation stands in
// for it (the multi-block test checks that one against the published vectors).
inline bytes encrypted_by_blocks(bytes content) {
#ifdef HAVE_OPENSSL
    BF_KEY key{};
    BF_set_key(&key, static_cast<int>(blowfish::configured_key.size()), blowfish::configured_key.data());
    for (std::size_t at = 0; at + 8 <= content.size(); at += 8) BF_ecb_encrypt(&content[at], &content[at], &key, BF_ENCRYPT);
#else
    std::uint8_t* position = content.data();
    for (std::size_t n = content.size() / 8; n != 0; --n) position = encrypt_block(position);
#endif
    return content;
}

// The chooser answers each question in turn with a path, or cancels where the script holds nothing.
using answers = std::vector<std::optional<fs::path>>;
using asked = std::vector<chooser_kind>;
constexpr auto input = chooser_kind::input;
constexpr auto output = chooser_kind::output;

// Both ways the output is made: unnamed until finished, and named at once (the fallback for file
// systems without unnamed files, forced here).
constexpr output_naming both_namings[] = {output_naming::unnamed_until_finished, output_naming::named_at_once};
inline const char* describe(output_naming naming) {
    return naming == output_naming::named_at_once ? "named at once" : "unnamed";
}

// Steps of the Linux platform a case replaces (empty: the real step), given the platform to take the
// real step on. A planted fault counts its strikes, telling a run that met it from one ended earlier.
struct platform_hooks {
    std::function<bool(linux_platform&)> open_input{};
    std::function<std::uint64_t(linux_platform&)> input_length{};
    std::function<std::uint8_t*(linux_platform&, std::uint32_t size)> allocate_zeroed{};
    std::function<bool(linux_platform&, std::uint8_t* at, std::uint32_t want, std::uint32_t& got)> read_some{};
    std::function<bool(linux_platform&)> create_output{};
    std::function<bool(linux_platform&, const std::uint8_t* from, std::uint32_t want, std::uint32_t& put)> write_some{};
    std::function<bool(linux_platform&)> finish_output{};
    std::function<int(int descriptor)> flush{};  // of the output's data and of its folder
    std::function<void()> before_reopen{};       // between the look at the input and its open
    int lease_break_time = 0;                    // seconds; 0: the kernel's own
};
inline platform_hooks hooks;
inline int strikes = 0;

struct hooked_platform : linux_platform {
    hooked_platform(path_chooser choose, output_naming naming) : linux_platform(std::move(choose), naming) {
        flush_ = [](int descriptor) { return hooks.flush ? hooks.flush(descriptor) : fsync(descriptor); };
        reopen_ = [](int looked_at) {
            if (hooks.before_reopen) hooks.before_reopen();
            return reopen(looked_at);
        };
        lease_break_time_ = [] { return hooks.lease_break_time != 0 ? hooks.lease_break_time : lease_break_time(); };
    }
    bool open_input() { return hooks.open_input ? hooks.open_input(*this) : linux_platform::open_input(); }
    std::uint64_t input_length() { return hooks.input_length ? hooks.input_length(*this) : linux_platform::input_length(); }
    std::uint8_t* allocate_zeroed(std::uint32_t size) {
        return hooks.allocate_zeroed ? hooks.allocate_zeroed(*this, size) : linux_platform::allocate_zeroed(size);
    }
    bool read_some(std::uint8_t* at, std::uint32_t want, std::uint32_t& got) {
        return hooks.read_some ? hooks.read_some(*this, at, want, got) : linux_platform::read_some(at, want, got);
    }
    bool create_output() { return hooks.create_output ? hooks.create_output(*this) : linux_platform::create_output(); }
    bool write_some(const std::uint8_t* from, std::uint32_t want, std::uint32_t& put) {
        return hooks.write_some ? hooks.write_some(*this, from, want, put) : linux_platform::write_some(from, want, put);
    }
    bool finish_output() { return hooks.finish_output ? hooks.finish_output(*this) : linux_platform::finish_output(); }
};

// Runs body in a child process, whose checks do not reach the test, and which an alarm ends should
// it wait forever; wait_child gives its exit code, or 128 + the signal that ended it.
inline pid_t start_child(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(60);
        int code = 101;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    return child;
}

inline int wait_child(pid_t child) {
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline int in_child(const std::function<int()>& body) { return wait_child(start_child(body)); }

// A pipe carrying single bytes between a test and its children; wait returns the byte, 0 on failure.
struct channel {
    int ends[2] = {-1, -1};
    channel() { EXPECT_EQ(pipe(ends), 0); }
    ~channel() { for (int end : ends) close(end); }
    bool send(char byte = 'g') const { return write(ends[1], &byte, 1) == 1; }
    char wait() const {
        char byte = 0;
        return read(ends[0], &byte, 1) == 1 ? byte : 0;
    }
};

inline const passwd& nobody() {
    const passwd* found = getpwnam("nobody");
    if (found == nullptr) throw std::runtime_error("no user nobody");
    return *found;
}

// Drops root for good and becomes the user nobody, in a child process.
inline bool become_nobody() {
    const passwd& user = nobody();
    return setgroups(0, nullptr) == 0 && setresgid(user.pw_gid, user.pw_gid, user.pw_gid) == 0 &&
           setresuid(user.pw_uid, user.pw_uid, user.pw_uid) == 0 && geteuid() == user.pw_uid;
}

// The cases that need another user (a file of another user, a run as nobody) take it as root, who
// is every user. An ordinary user has root's power over its own files and its subordinate ids, nobody
// among them, in a child that enters a new user namespace which newuidmap and newgidmap map as
// `unshare --map-root-user --map-auto` does: 0 to the user, 1 up to its /etc/subuid and /etc/subgid
// range. There files of the user belong to 0, and nobody is a user of its own.

// The first range of the user's subordinate ids in file (/etc/subuid or /etc/subgid): start and count.
inline std::pair<unsigned long, unsigned long> subordinate_ids(const char* file, unsigned id, const char* name) {
    std::ifstream lines(file);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string owner, start, count;
        if (std::getline(fields, owner, ':') && std::getline(fields, start, ':') && std::getline(fields, count) &&
            (owner == name || owner == std::to_string(id)) && !start.empty() && !count.empty())
            return {std::strtoul(start.c_str(), nullptr, 10), std::strtoul(count.c_str(), nullptr, 10)};
    }
    return {0, 0};
}

// Runs a mapping tool (newuidmap or newgidmap) on the child: 0 to id, 1 up to the range.
inline bool map_ids(const char* tool, pid_t child, unsigned id, std::pair<unsigned long, unsigned long> range) {
    const std::string words[] = {tool, std::to_string(child), "0", std::to_string(id), "1", "1",
                                 std::to_string(range.first), std::to_string(range.second)};
    const pid_t mapping = fork();
    if (mapping == 0) {
        std::vector<char*> argv;
        for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO), dup2(quiet, STDERR_FILENO);
        execvp(tool, argv.data());
        _exit(127);
    }
    return wait_child(mapping) == 0;
}

// Starts body in a child that is root: root's own child, or, for another user, a child in a new
// user namespace, mapped before body starts. -1 where the child cannot be made so.
inline pid_t start_as_root(const std::function<int()>& body) {
    if (geteuid() == 0) return start_child(body);
    const passwd* user = getpwuid(geteuid());
    const char* name = user ? user->pw_name : "";
    const auto uids = subordinate_ids("/etc/subuid", geteuid(), name);
    const auto gids = subordinate_ids("/etc/subgid", getegid(), name);
    if (uids.second == 0 || gids.second == 0) return -1;
    const channel entered, mapped;
    const pid_t child = start_child([&] {
        const char said = unshare(CLONE_NEWUSER) == 0 ? 'e' : 'f';
        return entered.send(said) && said == 'e' && mapped.wait() == 'm' ? body() : 98;
    });
    const char said = child < 0 ? 0 : entered.wait();
    const bool made = said == 'e' && map_ids("newuidmap", child, geteuid(), uids) &&
                      map_ids("newgidmap", child, getegid(), gids);
    mapped.send(made ? 'm' : 'x');
    if (made) return child;
    wait_child(child);
    return -1;
}

inline int as_root(const std::function<int()>& body) {
    const pid_t child = start_as_root(body);
    return child < 0 ? -1 : wait_child(child);
}

inline std::string why_no_other_user() {
    static const std::string reason = [] {
        if (geteuid() == 0) return std::string();
        const passwd* user = getpwuid(geteuid());
        const std::string name = user ? user->pw_name : std::to_string(geteuid());
        for (const char* file : {"/etc/subuid", "/etc/subgid"})
            if (subordinate_ids(file, geteuid(), name.c_str()).second < 65535)
                return name + " has no range of at least 65,535 subordinate ids in " + file +
                       " (where nobody, 65534, would be mapped)";
        for (const char* tool : {"/usr/bin/newuidmap", "/usr/bin/newgidmap"})
            if (access(tool, X_OK) != 0) return std::string(tool) + " is missing (Debian package uidmap)";
        const int code = as_root([] { return become_nobody() ? 0 : 1; });
        if (code == 0) return std::string();
        return std::string(code < 0 ? "no user namespace could be made and mapped (unshare(CLONE_NEWUSER), "
                                      "newuidmap, newgidmap)"
                                    : "nobody could not be taken in a user namespace");
    }();
    return reason;
}

// A file's content, also one of another user that only root may read (a run as nobody made it).
inline bytes read_any_file(const fs::path& path) {
    if (geteuid() == 0 || access(path.c_str(), R_OK) == 0) return read_file(path);
    int ends[2] = {-1, -1};
    if (pipe(ends) != 0) return {};
    const pid_t child = start_as_root([&] {
        const bytes content = read_file(path);
        return write(ends[1], content.data(), content.size()) == static_cast<ssize_t>(content.size()) ? 0 : 1;
    });
    close(ends[1]);
    bytes content;
    std::uint8_t piece[65536];
    for (ssize_t got; (got = read(ends[0], piece, sizeof piece)) > 0;) content.insert(content.end(), piece, piece + got);
    close(ends[0]);
    if (wait_child(child) != 0) ADD_FAILURE() << "cannot read " << path << ", even as root";
    return content;
}

// Whether a case that needs another user may go on; if not, the test is to be skipped with the
// reason, except under CI (CI=true), which must run every case: there it fails.
inline bool other_user_available() {
    const std::string reason = why_no_other_user();
    if (reason.empty()) return true;
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true") ADD_FAILURE() << "needs another user, and " << reason << "; CI must run every case";
    return false;
}

// One whole run on the hooked platform; returns what was asked. As nobody (root may write anything),
// in a child that drops root for good and reports the questions and its strikes in its exit code.
inline asked run(answers script, output_naming naming = output_naming::unnamed_until_finished, bool as_nobody = false,
                 block_walk walk = encrypt_blocks) {
    if (as_nobody) {
        const int code = as_root([&] {
            if (!become_nobody()) return 99;
            return static_cast<int>(run(std::move(script), naming, false, walk).size()) + 4 * std::min(strikes, 9);
        });
        if (code < 0 || code >= 40) {
            ADD_FAILURE() << "the run as nobody ended with " << code << " (99: cannot become nobody; -1: " <<
                (why_no_other_user().empty() ? "cannot start it" : why_no_other_user()) << ")";
            return {};
        }
        strikes += code / 4;
        asked questions{input, output};
        questions.resize(static_cast<std::size_t>(code % 4));
        return questions;
    }
    asked questions;
    hooked_platform os(
        [&](chooser_kind kind, std::string& path) {
            questions.push_back(kind);
            if (questions.size() > script.size() || !script[questions.size() - 1]) return false;
            path = script[questions.size() - 1]->string();
            return true;
        },
        naming);
    whole_file::run(os, walk);
    return questions;
}

// Every name under a folder with its kind, mode, size, modification time and content (or link target).
using snapshot = std::map<std::string, std::string>;
inline snapshot take_snapshot(const fs::path& folder) {
    snapshot taken;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        struct stat info {};
        if (lstat(entry.path().c_str(), &info) != 0) continue;
        std::ostringstream described;
        described << std::oct << info.st_mode << std::dec << ' ';
        // A folder's size and time change with the names in it, the output's among them.
        if (!S_ISDIR(info.st_mode)) described << info.st_size << ' ' << info.st_mtim.tv_sec << '.' << info.st_mtim.tv_nsec << ' ';
        if (S_ISLNK(info.st_mode)) described << "-> " << fs::read_symlink(entry.path()).string();
        else if (S_ISREG(info.st_mode)) {
            const bytes content = read_any_file(entry.path());
            described.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        }
        taken[entry.path().lexically_relative(folder).string()] = described.str();
    }
    return taken;
}

// The promise of every run: each name in before is exactly as it was, and the only new name, if
// any, is created holding exactly expected (nullptr: nothing may appear).
inline void expect_promise_kept(const snapshot& before, const fs::path& folder, const fs::path& created,
                                const bytes* expected) {
    snapshot after = take_snapshot(folder);
    const std::string output_name = created.lexically_relative(folder).string();
    const bool appeared = !before.contains(output_name) && after.erase(output_name) != 0;
    EXPECT_EQ(appeared, expected != nullptr) << created << (appeared ? " was created" : " was not created");
    EXPECT_TRUE(!appeared || !expected || read_any_file(created) == *expected) << created << " is not the whole result";
    for (const auto& [name, described] : before) {
        if (!after.contains(name)) ADD_FAILURE() << name << " disappeared";
        else if (after[name] != described) ADD_FAILURE() << name << " changed";
    }
    for (const auto& [name, described] : after)
        if (!before.contains(name)) ADD_FAILURE() << name << " appeared";
}

// A fresh folder holding the input in.bin (whole blocks past the 4 KiB that the output's direct
// writes take, and a 3-byte tail) and a neighbour file; out.bin, the usual output, not yet made.
class run_fixture : public ::testing::Test {
protected:
    static fs::path make_folder() {
        std::string pattern = (fs::temp_directory_path() / "whole-file-run-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        return pattern;
    }
    ~run_fixture() override {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        // What nobody made in its own folders only root may remove.
        if (fs::exists(folder, ignored)) as_root([&] { return fs::remove_all(folder, ignored), 0; });
    }

    const fs::path folder = make_folder();
    const fs::path in = folder / "in.bin";
    const fs::path out = folder / "out.bin";
    const bytes original = random_bytes(4099, 23);
    const bytes expected = encrypted_by_blocks(original);

    void SetUp() override {
        std::signal(SIGIO, SIG_IGN);  // as the programs do: a lease broken by another open notifies
        hooks = {};
        strikes = 0;
        write_file(in, original);
        write_file(folder / "neighbour.bin", random_bytes(5000, 5));
    }

    // One run with the script: it asked exactly questions, and kept the promise.
    void expect_run(answers script, const asked& questions, const fs::path& created, const bytes* result,
                    output_naming naming = output_naming::unnamed_until_finished, bool as_nobody = false,
                    block_walk walk = encrypt_blocks) {
        const snapshot before = take_snapshot(folder);
        EXPECT_EQ(run(std::move(script), naming, as_nobody, walk), questions);
        expect_promise_kept(before, folder, created, result);
    }
};

}  // namespace run_test
