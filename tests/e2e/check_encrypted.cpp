// Checks that OUTPUT is INPUT encrypted under the configured key: the same length, each whole block
// of OUTPUT is OpenSSL's Blowfish encryption of the block of INPUT at the same place, the last 0 to
// 7 bytes equal.
// With --sample only about a thousand blocks spread over the file are checked, plus the first
// and last blocks and those around each 1 GiB boundary, so that files of gigabytes check fast.
// Usage: check_encrypted [--sample] INPUT OUTPUT. Exits 0 if so, 1 with a message if not.
#include <fcntl.h>
#include <openssl/blowfish.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "configured_key.h"

namespace {

bool read_at(int file, std::uint8_t* into, std::size_t size, std::uint64_t at) {
    return pread(file, into, size, static_cast<off_t>(at)) == static_cast<ssize_t>(size);
}

// BF_* is deprecated in OpenSSL 3 in favour of EVP, whose Blowfish needs the legacy provider.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
BF_KEY openssl_key() {
    BF_KEY key{};
    BF_set_key(&key, static_cast<int>(blowfish::configured_key.size()), blowfish::configured_key.data());
    return key;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "check_encrypted: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool sample = argc == 4 && std::strcmp(argv[1], "--sample") == 0;
    if (argc != 3 + (sample ? 1 : 0)) return fail("usage: check_encrypted [--sample] INPUT OUTPUT");
    const int plain = open(argv[argc - 2], O_RDONLY);
    const int cipher = open(argv[argc - 1], O_RDONLY);
    struct stat plain_info {}, cipher_info {};
    if (plain < 0 || cipher < 0 || fstat(plain, &plain_info) != 0 || fstat(cipher, &cipher_info) != 0)
        return fail("cannot open both files");
    const auto length = static_cast<std::uint64_t>(plain_info.st_size);
    if (static_cast<std::uint64_t>(cipher_info.st_size) != length) return fail("the lengths differ");
    const std::uint64_t blocks = length / 8;

    std::set<std::uint64_t> chosen;
    if (!sample) {
        for (std::uint64_t b = 0; b < blocks; ++b) chosen.insert(b);
    } else if (blocks != 0) {
        for (std::uint64_t b = 0; b < blocks; b += blocks / 1000 + 1) chosen.insert(b);
        for (std::uint64_t gib = 0; gib <= length >> 30; ++gib) {
            const std::uint64_t boundary = (gib << 30) / 8;
            for (std::uint64_t b = boundary > 2 ? boundary - 2 : 0; b < boundary + 2 && b < blocks; ++b) chosen.insert(b);
        }
        chosen.insert(blocks - 1);
    }
    const BF_KEY key = openssl_key();
    for (const std::uint64_t b : chosen) {
        std::array<std::uint8_t, 8> p{}, c{}, expected{};
        if (!read_at(plain, p.data(), 8, b * 8) || !read_at(cipher, c.data(), 8, b * 8)) return fail("a read failed");
        BF_ecb_encrypt(p.data(), expected.data(), &key, BF_ENCRYPT);
        if (c != expected) return fail("block " + std::to_string(b) + " is not OpenSSL's encryption of the input's block");
    }
    std::array<std::uint8_t, 8> p{}, c{};
    const std::size_t tail = length % 8;
    if (!read_at(plain, p.data(), tail, blocks * 8) || !read_at(cipher, c.data(), tail, blocks * 8) || p != c)
        return fail("the tail differs");
    std::printf("check_encrypted: %zu blocks are OpenSSL's encryption of the input's, the %zu-byte tail is unchanged\n", chosen.size(), tail);
    return 0;
}
