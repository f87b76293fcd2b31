// The Linux run's buffer: huge-page aligned and populated up front, trimmed by hand. A trimming or
// rounding slip would leave part of the buffer unmapped or not zeroed; every byte is checked.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "posix_platform.h"

namespace {

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

}  // namespace
