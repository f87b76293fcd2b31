#include "run_test_support.h"

#include <grp.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace run_test {

void write_file(const std::filesystem::path& path, const bytes& content) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    if (!file) ADD_FAILURE() << "cannot write " << path;
}

bytes read_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bytes encrypted_by_blocks(bytes content) {
    std::uint8_t* position = content.data();
    for (std::size_t n = content.size() / 8; n != 0; --n) position = encrypt_block(position);
    return content;
}

temporary_folder::temporary_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "whole-file-run-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temporary_folder::~temporary_folder() {
    // Folders a test made unwritable must be writable again before they can be removed.
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored))
        if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) chmod(entry.path().c_str(), 0700);
    std::filesystem::remove_all(path_, ignored);
}

const char* describe(output_naming naming) {
    return naming == output_naming::named_at_once ? "output named at once" : "output unnamed until finished";
}

asked run(answers script, output_naming naming, block_walk walk) {
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

const passwd& nobody() {
    const passwd* found = getpwnam("nobody");
    if (found == nullptr) throw std::runtime_error("no user nobody");
    return *found;
}

// Drops root for the calling process for good: user and group nobody, no other groups.
static bool become_nobody() {
    const uid_t user = nobody().pw_uid;
    const gid_t group = nobody().pw_gid;
    return setgroups(0, nullptr) == 0 && setresgid(group, group, group) == 0 && setresuid(user, user, user) == 0 &&
           geteuid() == user;
}

// The run asks the open dialog's question, then perhaps the save dialog's: their count says which.
asked run_as_nobody(answers script, output_naming naming) {
    const int code = in_child([&] {
        if (!become_nobody()) return 99;
        const int asked_count = static_cast<int>(run(std::move(script), naming).size());
        return asked_count + 4 * std::min(strikes, 9);
    });
    if (code < 0 || code >= 40) {
        ADD_FAILURE() << "the run as the user nobody ended with " << code << " (99: cannot become nobody)";
        return {};
    }
    strikes += code / 4;
    asked questions{input, output};
    questions.resize(static_cast<std::size_t>(code % 4), input);
    return questions;
}

snapshot take_snapshot(const std::filesystem::path& folder) {
    snapshot taken;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        struct stat info {};
        if (lstat(entry.path().c_str(), &info) != 0) continue;
        std::ostringstream described;
        described << std::oct << info.st_mode << std::dec << ' ';
        // A folder's size and time change with the names in it, the output's among them.
        if (!S_ISDIR(info.st_mode)) described << info.st_size << ' ' << info.st_mtim.tv_sec << '.' << info.st_mtim.tv_nsec << ' ';
        if (S_ISLNK(info.st_mode)) {
            described << "-> " << std::filesystem::read_symlink(entry.path()).string();
        } else if (S_ISREG(info.st_mode)) {
            const bytes content = read_file(entry.path());
            described.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        }
        taken[entry.path().lexically_relative(folder).string()] = described.str();
    }
    return taken;
}

void expect_promise_kept(const snapshot& before, const std::filesystem::path& folder,
                         const std::filesystem::path& created, const bytes* expected) {
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
