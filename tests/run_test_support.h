// Real files in a fresh temporary folder, and a chooser that answers from a script.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "posix_platform.h"

namespace run_test {

using bytes = std::vector<std::uint8_t>;

bytes random_bytes(std::size_t length, unsigned seed);
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
    std::vector<std::string> names() const;

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

}  // namespace run_test
