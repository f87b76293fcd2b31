// The whole run on real files in a temporary folder, with the choosers scripted.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "blowfish.h"
#include "run_test_support.h"
#include "whole_file_run.h"

namespace {

using namespace run_test;
namespace fs = std::filesystem;

using WholeFileRun = run_fixture;

TEST_F(WholeFileRun, LengthsRoundTripWithTheTailUnchanged) {
    for (std::size_t length : {1u, 7u, 8u, 9u, 17u, 1003u, 3u * 1024 * 1024 + 5, 4u * 1024 * 1024}) {
        SCOPED_TRACE(length);
        const bytes plain = random_bytes(length, static_cast<unsigned>(length));
        const fs::path source = folder / ("plain-" + std::to_string(length));
        const fs::path encrypted = folder / ("encrypted-" + std::to_string(length));
        const fs::path decrypted = folder / ("decrypted-" + std::to_string(length));
        write_file(source, plain);

        EXPECT_EQ(run_with({source, encrypted}), (asked{input, output}));
        const bytes cipher = read_file(encrypted);
        ASSERT_EQ(cipher, encrypted_by_blocks(plain));
        const std::size_t whole = length / 8 * 8;
        EXPECT_TRUE(std::equal(cipher.begin() + static_cast<long>(whole), cipher.end(), plain.begin() + static_cast<long>(whole)));
        EXPECT_TRUE(whole == 0 || cipher != plain);
        EXPECT_EQ(read_file(source), plain);

        EXPECT_EQ(run_with({encrypted, decrypted}, decrypt_blocks), (asked{input, output}));
        EXPECT_EQ(read_file(decrypted), plain);
        EXPECT_EQ(read_file(encrypted), cipher);
    }
}

TEST_F(WholeFileRun, EqualAlignedBlocksGiveEqualOutputBlocks) {
    bytes repeated;
    for (int i = 0; i < 64; ++i) repeated.insert(repeated.end(), {1, 2, 3, 4, 5, 6, 7, 8});
    repeated.push_back(9);
    write_file(in, repeated);
    run_with({in, out});
    const bytes cipher = read_file(out);
    ASSERT_EQ(cipher.size(), repeated.size());
    for (std::size_t at = 8; at + 8 <= cipher.size(); at += 8)
        EXPECT_TRUE(std::equal(cipher.begin(), cipher.begin() + 8, cipher.begin() + static_cast<long>(at)));
    EXPECT_NE(cipher[0], 1);
    EXPECT_EQ(cipher.back(), 9);
}

TEST_F(WholeFileRun, OutputIsPrivateWhateverTheUmask) {
    for (output_naming naming : both_namings) {
        SCOPED_TRACE(describe(naming));
        const mode_t before = umask(0);
        run_named({in, out}, naming);
        umask(before);
        struct stat info {};
        ASSERT_EQ(stat(out.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        fs::remove(out);
    }
}

TEST_F(WholeFileRun, CancellingTheInputChooserAsksNothingMore) {
    expect_run({std::nullopt, out}, asked{input}, out, nullptr);
}

TEST_F(WholeFileRun, InputsThatCannotBeOpenedAreNotProcessed) {
    expect_refused_input(folder / "missing");

    fs::create_directory(folder / "folder");
    expect_refused_input(folder / "folder");

    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    expect_refused_input(folder / "fifo");

    ASSERT_EQ(chmod(in.c_str(), 0444), 0);
    expect_refused_input(in);
    ASSERT_EQ(chmod(in.c_str(), 0600), 0);
}

TEST_F(WholeFileRun, InputLockedByAnotherIsNotProcessed) {
    const int holder = open(in.c_str(), O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    expect_refused_input(in);
    close(holder);
    expect_run({in, out}, asked{input, output}, out, &expected);
}

// Counts the size checks and the allocations that follow them.
struct sizes_counted : posix_platform {
    using posix_platform::posix_platform;
    static inline int size_checks = 0;
    static inline int allocations = 0;
    std::uint64_t input_length() {
        ++size_checks;
        return posix_platform::input_length();
    }
    std::uint8_t* allocate_zeroed(std::uint32_t size) {
        ++allocations;
        return posix_platform::allocate_zeroed(size);
    }
};

TEST_F(WholeFileRun, EmptyAndFourGibibyteInputsEndAfterTheSizeCheck) {
    for (std::uintmax_t length : {std::uintmax_t{0}, std::uintmax_t{1} << 32, (std::uintmax_t{1} << 32) + 9}) {
        SCOPED_TRACE(length);
        fs::resize_file(in, length);  // sparse: takes no space
        sizes_counted::size_checks = sizes_counted::allocations = 0;
        EXPECT_EQ(run_with<sizes_counted>({in, out}), asked{input});
        EXPECT_EQ(sizes_counted::size_checks, 1) << "the run ended before the size check";
        EXPECT_EQ(sizes_counted::allocations, 0);
        EXPECT_EQ(fs::file_size(in), length);
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST_F(WholeFileRun, CancellingTheOutputChooserWritesNothing) {
    expect_run({in, std::nullopt}, asked{input, output}, out, nullptr);
}

TEST_F(WholeFileRun, ExistingOutputNamesAreLeftUntouched) {
    write_file(out, random_bytes(20, 3));
    expect_refused_output(out);
    expect_refused_output(in);
    fs::create_directory(folder / "folder");
    expect_refused_output(folder / "folder");
}

// The link's target would appear as a new name: the promise check catches that.
TEST_F(WholeFileRun, DanglingSymlinkAsOutputIsNeitherFollowedNorReplaced) {
    fs::create_symlink(folder / "target", out);
    expect_refused_output(out);
}

TEST_F(WholeFileRun, OutputInAMissingFolderIsNotCreated) { expect_refused_output(folder / "missing" / "out.bin"); }

// The output is named when the file system is flushed for the last time: the folder holding the
// name goes to disk after the name is given, and the file's data before.
struct flushes_recorded : posix_platform {
    static inline std::vector<std::string> flushed;
    static inline fs::path watched;
    flushes_recorded(path_chooser choose, output_naming naming) : posix_platform(std::move(choose), naming) {
        flush_ = [](int descriptor) {
            struct stat info {};
            fstat(descriptor, &info);
            flushed.push_back(std::string(S_ISDIR(info.st_mode) ? "folder" : "file") +
                              (fs::exists(watched) ? " (named)" : " (unnamed)"));
            return fsync(descriptor);
        };
    }
};

TEST_F(WholeFileRun, FolderIsFlushedOnceTheNameIsGiven) {
    flushes_recorded::watched = out;
    using list = std::vector<std::string>;
    const list expected_flushes[] = {{"file (unnamed)", "folder (named)"}, {"file (named)", "folder (named)"}};
    for (output_naming naming : both_namings) {
        SCOPED_TRACE(describe(naming));
        flushes_recorded::flushed.clear();
        EXPECT_EQ(run_named<flushes_recorded>({in, out}, naming), (asked{input, output}));
        EXPECT_EQ(flushes_recorded::flushed, expected_flushes[naming == output_naming::named_at_once]);
        EXPECT_EQ(read_file(out), expected);
        fs::remove(out);
    }
}

// On the named path a failed run removes the output by name. Should another process have removed
// that name and made its own file under it meanwhile, the run must leave that file alone.
struct name_taken_over_then_write_fails : posix_platform {
    using posix_platform::posix_platform;
    static inline fs::path taken;
    bool write_some(const std::uint8_t*, std::uint32_t, std::uint32_t&) {
        fs::remove(taken);
        write_file(taken, random_bytes(77, 5));
        return false;
    }
};

TEST_F(WholeFileRun, FailedRunLeavesANameAnotherProcessTookOver) {
    name_taken_over_then_write_fails::taken = out;
    EXPECT_EQ(run_named<name_taken_over_then_write_fails>({in, out}, output_naming::named_at_once),
              (asked{input, output}));
    EXPECT_EQ(read_file(out), random_bytes(77, 5));
}

TEST_F(WholeFileRun, ShortReadsAndWritesAreCarriedOnUntilDone) {
    expect_run<short_reads_and_writes>({in, out}, asked{input, output}, out, &expected);
}

}  // namespace
