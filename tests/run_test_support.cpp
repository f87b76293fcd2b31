#include "run_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "blowfish.h"

namespace run_test {

bytes random_bytes(std::size_t length, unsigned seed) {
    std::mt19937 random(seed);
    bytes content(length);
    for (auto& byte : content) byte = static_cast<std::uint8_t>(random());
    return content;
}

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

std::vector<std::string> temporary_folder::names() const {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) found.push_back(entry.path().filename());
    std::sort(found.begin(), found.end());
    return found;
}

path_chooser scripted_chooser::function() {
    return [this](chooser_kind kind, std::string& path) {
        const std::size_t turn = asked_.size();
        asked_.push_back(kind);
        if (turn >= answers_.size() || !answers_[turn]) return false;
        path = answers_[turn]->string();
        return true;
    };
}

}  // namespace run_test
