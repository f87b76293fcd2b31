// The Linux run's buffer and output writes, which take fast paths that can go subtly wrong:
// - the buffer is huge-page aligned and populated up front, trimmed by hand: a rounding slip would
//   leave part of it unmapped or not zeroed;
// - the output is written with O_DIRECT while everything is aligned and with plain writes after:
//   missing the switch makes a write fail (EINVAL), a wrong offset garbles the file.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "posix_platform.h"
#include "run_test_support.h"

namespace {

using namespace run_test;

TEST(PosixBuffer, EveryByteIsZeroedAndWritableAtSizesAroundTheHugePage) {
    posix_platform os([](chooser_kind, std::string&) { return false; });
    constexpr std::uint32_t mib = 1u << 20;
    for (std::uint32_t size : {1u, 8u, 4095u, 4097u, 2 * mib - 1, 2 * mib, 2 * mib + 1, 5 * mib + 3}) {
        std::uint8_t* buffer = os.allocate_zeroed(size);
        ASSERT_NE(buffer, nullptr) << size;
        std::uint32_t nonzero = 0;
        for (std::uint32_t i = 0; i < size; ++i) nonzero += buffer[i] != 0;
        EXPECT_EQ(nonzero, 0u) << size;
        for (std::uint32_t i = 0; i < size; ++i) buffer[i] = static_cast<std::uint8_t>(i);
        EXPECT_EQ(buffer[size - 1], static_cast<std::uint8_t>(size - 1));
        os.release(buffer);
    }
}

// Aligned pieces (direct), then pieces at odd sizes and addresses (plain), then aligned-looking
// pieces again at an offset that is no longer aligned: the file must hold exactly what was written.
TEST(PosixOutput, PiecesOfEveryAlignmentLandInOrder) {
    temporary_folder folder;
    const auto out = folder / "out.bin";
    posix_platform os([&](chooser_kind, std::string& path) {
        path = out.string();
        return true;
    });
    constexpr std::uint32_t size = 3 * 65536 + 4096 + 333;
    std::uint8_t* buffer = os.allocate_zeroed(size);
    ASSERT_NE(buffer, nullptr);
    const bytes content = random_bytes(size, 9);
    for (std::uint32_t i = 0; i < size; ++i) buffer[i] = content[i];

    ASSERT_TRUE(os.choose_output());
    ASSERT_TRUE(os.create_output());
    std::uint32_t done = 0;
    for (std::uint32_t piece : {65636u, 8192u, 100u, 4096u, 65536u, 7u}) {
        std::uint32_t put = 0;
        ASSERT_TRUE(os.write_some(buffer + done, piece, put)) << "at " << done;
        ASSERT_GT(put, 0u);
        done += put;
    }
    while (done < size) {
        std::uint32_t put = 0;
        ASSERT_TRUE(os.write_some(buffer + done, size - done, put));
        done += put;
    }
    ASSERT_TRUE(os.finish_output());
    os.release(buffer);
    EXPECT_EQ(read_file(out), content);
}

}  // namespace
