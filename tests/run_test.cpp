// The whole run on real files, the choosers scripted; and the Linux run's fast paths: the buffer,
// huge-page aligned and trimmed by hand (a rounding slip leaves part unmapped or not zeroed), and
// the output's O_DIRECT writes while aligned, plain after (a missed switch fails with EINVAL).
#include "run_test_support.h"

namespace {

using namespace run_test;
using WholeFileRun = run_fixture;

TEST_F(WholeFileRun, LengthsRoundTripWithTheTailUnchanged) {
    for (std::size_t length : {1u, 7u, 8u, 9u, 17u, 1003u, 3u * 1024 * 1024 + 5, 4u * 1024 * 1024}) {
        SCOPED_TRACE(length);
        const bytes plain = random_bytes(length, static_cast<unsigned>(length));
        const bytes cipher = encrypted_by_blocks(plain);  // the tail unchanged
        const fs::path encrypted = folder / ("encrypted-" + std::to_string(length));
        const fs::path decrypted = folder / ("decrypted-" + std::to_string(length));
        write_file(in, plain);
        expect_run({in, encrypted}, asked{input, output}, encrypted, &cipher);
        expect_run({encrypted, decrypted}, asked{input, output}, decrypted, &plain,
                   output_naming::unnamed_until_finished, false, decrypt_blocks);
    }
}

// Reads and writes that do less than asked are carried on until done. The output is private
// whatever the umask; its data is flushed before the name is given, the folder holding it after.
TEST_F(WholeFileRun, ShortReadsAndWritesGiveAPrivateOutputFlushedAroundItsNaming) {
    hooks.read_some = [](linux_platform& os, std::uint8_t* at, std::uint32_t want, std::uint32_t& got) {
        return os.read_some(at, std::min(want, 13u), got);
    };
    hooks.write_some = [](linux_platform& os, const std::uint8_t* from, std::uint32_t want, std::uint32_t& put) {
        return os.write_some(from, std::min(want, 29u), put);
    };
    std::vector<std::string> flushed;
    hooks.flush = [&](int descriptor) {
        struct stat info {};
        fstat(descriptor, &info);
        flushed.push_back(std::string(S_ISDIR(info.st_mode) ? "folder" : "file") + (fs::exists(out) ? " (named)" : " (unnamed)"));
        return fsync(descriptor);
    };
    const std::vector<std::string> expected_flushes[] = {{"file (unnamed)", "folder (named)"},
                                                         {"file (named)", "folder (named)"}};
    for (output_naming naming : both_namings) {
        SCOPED_TRACE(describe(naming));
        flushed.clear();
        const mode_t before = umask(0);
        expect_run({in, out}, asked{input, output}, out, &expected, naming);
        umask(before);
        EXPECT_EQ(flushed, expected_flushes[naming == output_naming::named_at_once]);
        EXPECT_EQ(fs::status(out).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        fs::remove(out);
    }
}

// Empty and 4 GiB inputs end at the size check, with no allocation after it.
TEST_F(WholeFileRun, EmptyAndFourGibibyteInputsEndAfterTheSizeCheck) {
    int size_checks = 0, allocations = 0;
    hooks.input_length = [&](linux_platform& os) { return ++size_checks, os.input_length(); };
    hooks.allocate_zeroed = [&](linux_platform& os, std::uint32_t size) { return ++allocations, os.allocate_zeroed(size); };
    for (std::uintmax_t length : {std::uintmax_t{0}, std::uintmax_t{1} << 32, (std::uintmax_t{1} << 32) + 9}) {
        SCOPED_TRACE(length);
        fs::resize_file(in, length);  // sparse: takes no space
        size_checks = allocations = 0;
        EXPECT_EQ(run({in, out}), asked{input});
        EXPECT_EQ(size_checks, 1) << "the run ended before the size check";
        EXPECT_EQ(allocations, 0);
        EXPECT_EQ(fs::file_size(in), length);
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST(PosixBuffer, EveryByteIsZeroedAndWritableAtSizesAroundTheHugePage) {
    linux_platform os([](chooser_kind, std::string&) { return false; });
    constexpr std::uint32_t mib = 1u << 20;
    for (std::uint32_t size : {1u, 8u, 4095u, 4097u, 2 * mib - 1, 2 * mib, 2 * mib + 1, 5 * mib + 3}) {
        std::uint8_t* buffer = os.allocate_zeroed(size);
        ASSERT_NE(buffer, nullptr) << size;
        EXPECT_TRUE(std::all_of(buffer, buffer + size, [](std::uint8_t byte) { return byte == 0; })) << size;
        for (std::uint32_t i = 0; i < size; ++i) buffer[i] = static_cast<std::uint8_t>(i);
        EXPECT_EQ(buffer[size - 1], static_cast<std::uint8_t>(size - 1));
        os.release(buffer);
    }
}

using PosixOutput = run_fixture;

// Aligned pieces (direct), then pieces at odd sizes and addresses (plain), then aligned-looking
// pieces again at an offset that is no longer aligned: the file must hold exactly what was written.
TEST_F(PosixOutput, PiecesOfEveryAlignmentLandInOrder) {
    linux_platform os([&](chooser_kind, std::string& path) { return path = out.string(), true; });
    constexpr std::uint32_t size = 3 * 65536 + 4096 + 333;
    std::uint8_t* buffer = os.allocate_zeroed(size);
    ASSERT_NE(buffer, nullptr);
    const bytes content = random_bytes(size, 9);
    std::copy(content.begin(), content.end(), buffer);
    ASSERT_TRUE(os.choose_output());
    ASSERT_TRUE(os.create_output());
    std::uint32_t done = 0;
    for (std::uint32_t piece : {65636u, 8192u, 100u, 4096u, 65536u, 7u}) {
        std::uint32_t put = 0;
        ASSERT_TRUE(os.write_some(buffer + done, piece, put)) << "at " << done;
        ASSERT_GT(put, 0u);
        done += put;
    }
    ASSERT_TRUE(whole_file::write_all(os, buffer + done, size - done));
    ASSERT_TRUE(os.finish_output());
    os.release(buffer);
    EXPECT_EQ(read_file(out), content);
}

}  // namespace
