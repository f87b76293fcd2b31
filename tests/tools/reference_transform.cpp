// Transforms a whole file with the Linux build of the cipher, as the programs do but without
// dialogs, so that the output of the Windows programs can be compared with it byte for byte.
//   reference_transform encrypt|decrypt INPUT OUTPUT
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

#include "blowfish.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::string_view direction = argv[1];
    if (direction != "encrypt" && direction != "decrypt") return 2;

    std::ifstream in(argv[2], std::ios::binary);
    if (!in) return 1;
    std::vector<char> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

    auto* const first = reinterpret_cast<std::uint8_t*>(data.data());
    const auto blocks = static_cast<std::uint32_t>(data.size() / 8);
    if (direction == "encrypt") {
        encrypt_blocks(first, blocks);
    } else {
        decrypt_blocks(first, blocks);
    }

    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    return out ? 0 : 1;
}
