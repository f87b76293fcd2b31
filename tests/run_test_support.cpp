#include "run_test_support.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace run_test {

void write_file(const fs::path& path, const bytes& content) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    if (!file) ADD_FAILURE() << "cannot write " << path;
}

bytes read_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bytes encrypted_by_blocks(bytes content) {
    std::uint8_t* position = content.data();
    for (std::size_t n = content.size() / 8; n != 0; --n) position = encrypt_block(position);
    return content;
}

fs::path make_temporary_folder() {
    std::string pattern = (fs::temp_directory_path() / "whole-file-run-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void remove_temporary_folder(const fs::path& folder) {
    // Folders a test made unwritable must be writable again before they can be removed.
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ignored))
        if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) chmod(entry.path().c_str(), 0700);
    fs::remove_all(folder, ignored);
}

namespace {

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

// Drops root for the calling process for good: user and group nobody, no other groups.
bool become_nobody() {
    const uid_t user = nobody().pw_uid;
    const gid_t group = nobody().pw_gid;
    return setgroups(0, nullptr) == 0 && setresgid(group, group, group) == 0 && setresuid(user, user, user) == 0 &&
           geteuid() == user;
}

}  // namespace

asked run(answers script, output_naming naming, bool as_nobody, block_walk walk) {
    asked questions;
    if (as_nobody) {
        // The child reports the number of questions (the open dialog's, then perhaps the save
        // dialog's) and its strikes through its exit code.
        const int code = in_child([&] {
            if (!become_nobody()) return 99;
            return static_cast<int>(run(std::move(script), naming, false, walk).size()) + 4 * std::min(strikes, 9);
        });
        if (code < 0 || code >= 40) {
            ADD_FAILURE() << "the run as the user nobody ended with " << code << " (99: cannot become nobody)";
            return {};
        }
        strikes += code / 4;
        questions = {input, output};
        questions.resize(static_cast<std::size_t>(code % 4), input);
        return questions;
    }
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

const passwd& nobody() {
    const passwd* found = getpwnam("nobody");
    if (found == nullptr) throw std::runtime_error("no user nobody");
    return *found;
}

snapshot take_snapshot(const fs::path& folder) {
    snapshot taken;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        struct stat info {};
        if (lstat(entry.path().c_str(), &info) != 0) continue;
        std::ostringstream described;
        described << std::oct << info.st_mode << std::dec << ' ';
        // A folder's size and time change with the names in it, the output's among them.
        if (!S_ISDIR(info.st_mode)) described << info.st_size << ' ' << info.st_mtim.tv_sec << '.' << info.st_mtim.tv_nsec << ' ';
        if (S_ISLNK(info.st_mode)) {
            described << "-> " << fs::read_symlink(entry.path()).string();
        } else if (S_ISREG(info.st_mode)) {
            const bytes content = read_file(entry.path());
            described.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        }
        taken[entry.path().lexically_relative(folder).string()] = described.str();
    }
    return taken;
}

void expect_promise_kept(const snapshot& before, const fs::path& folder, const fs::path& created, const bytes* expected) {
    snapshot after = take_snapshot(folder);
    const std::string output_name = created.lexically_relative(folder).string();
    const bool appeared = !before.contains(output_name) && after.erase(output_name) != 0;
    EXPECT_EQ(appeared, expected != nullptr) << created << (appeared ? " was created" : " was not created");
    if (appeared && expected != nullptr) {
        EXPECT_TRUE(read_file(created) == *expected) << created << " does not hold the whole result";
    }
    for (const auto& [name, described] : before) {
        if (!after.contains(name)) ADD_FAILURE() << name << " disappeared";
        else if (after[name] != described) ADD_FAILURE() << name << " changed";
    }
    for (const auto& [name, described] : after)
        if (!before.contains(name)) ADD_FAILURE() << name << " appeared";
}

pid_t start_child(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        int code = 101;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    return child;
}

int wait_child(pid_t child) {
    if (child < 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace run_test
