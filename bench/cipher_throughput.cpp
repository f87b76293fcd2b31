#include "cipher_throughput.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "block_path.h"
#include "blowfish.h"
#include "blowfish_rounds.h"
#include "byte_sliced_blocks.h"
#include "configured_key.h"
#include "peers.h"
#include "random_bytes.h"

namespace {

using transform = std::function<void(std::uint8_t*, std::size_t)>;

struct contender {
    std::string name;
    transform encrypt;
    transform decrypt;
    double best_encrypt = 1e30;  // seconds
    double best_decrypt = 1e30;
};

auto blocks(std::size_t size) { return static_cast<std::uint32_t>(size / 8); }

double seconds(const transform& f, std::vector<std::uint8_t>& data) {
    const auto start = std::chrono::steady_clock::now();
    f(data.data(), data.size());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const char* described(blowfish::block_path path) {
    switch (path) {
    case blowfish::block_path::byte_sliced_halves: return "byte-sliced by halves (two vpermi2b and a blend per plane lookup)";
    case blowfish::block_path::byte_sliced_quarters: return "byte-sliced by quarters (four vpermb per plane lookup)";
    case blowfish::block_path::scalar_groups: break;
    }
    return "the scalar groups";
}

// The multi-block operations with the given path forced.
transform forced(void (*walk)(std::uint8_t*, std::uint32_t), blowfish::block_path path) {
    return [walk, path](std::uint8_t* d, std::size_t n) {
        blowfish::force_path(path);
        walk(d, blocks(n));
        blowfish::force_path(blowfish::processor_path());
    };
}

// The programs' path first: the ratios and speedup-vs-openssl are taken against it.
std::vector<contender> contenders(std::vector<std::unique_ptr<peer>>& peers, std::vector<std::string>& skipped) {
    using blowfish::block_path;
    std::vector<contender> all;
    for (const auto& [path, name] : blowfish::all_paths) {
        const std::string row = path == block_path::scalar_groups
                                    ? "ours, scalar groups of " + std::to_string(blowfish::group_blocks)
                                    : "ours, byte-sliced " + std::to_string(blowfish::slice_blocks) +
                                          (path == block_path::byte_sliced_halves ? ", by halves" : ", by quarters");
        const contender c{row + (path == blowfish::processor_path() ? " (the programs)" : ""),
                          forced(encrypt_blocks, path), forced(decrypt_blocks, path)};
        if (!blowfish::path_supported(path))
            skipped.push_back(c.name + ": needs x86-64 with AVX-512 F, BW and VBMI");
        else if (path == blowfish::processor_path())
            all.insert(all.begin(), c);
        else
            all.push_back(c);
    }
    all.push_back({"ours, one block at a time",
                   [](std::uint8_t* d, std::size_t n) {
                       for (std::uint32_t i = blocks(n); i != 0; --i) d = encrypt_block(d);
                   },
                   [](std::uint8_t* d, std::size_t n) {
                       for (std::uint32_t i = blocks(n); i != 0; --i) d = decrypt_block(d);
                   }});
    for (auto& p : peers) {
        peer* q = p.get();
        all.push_back({q->name(), [q](std::uint8_t* d, std::size_t n) { q->encrypt(d, n); },
                       [q](std::uint8_t* d, std::size_t n) { q->decrypt(d, n); }});
    }
    return all;
}

}  // namespace

cipher_figures measure_ciphers(std::size_t buffer_size, int repeats) {
    std::vector<std::string> skipped;
    auto peers = make_peers(blowfish::configured_key.data(), blowfish::configured_key.size(), skipped);
    auto all = contenders(peers, skipped);

    const auto plain = random_bytes(buffer_size, 1);
    auto cipher = plain;
    all.front().encrypt(cipher.data(), cipher.size());

    cipher_figures figures;
    for (auto& c : all) {
        auto work = plain;
        c.encrypt(work.data(), work.size());
        const bool encrypt_same = work == cipher;
        work = cipher;
        c.decrypt(work.data(), work.size());
        if (!encrypt_same || work != plain) {
            std::printf("MISMATCH: %s does not produce the same bytes as ours (%s); no figures printed\n",
                        c.name.c_str(), encrypt_same ? "decrypt" : "encrypt");
            return figures;
        }
    }
    figures.identical = true;

    auto work = plain;
    for (int r = 0; r < repeats; ++r) {
        for (auto& c : all) {
            c.best_encrypt = std::min(c.best_encrypt, seconds(c.encrypt, work));
            c.best_decrypt = std::min(c.best_decrypt, seconds(c.decrypt, work));
        }
    }

    const double mb = static_cast<double>(buffer_size) / 1e6;
    std::printf("Cipher throughput: %zu MiB buffer, one thread, best of %d; MB/s = 10^6 bytes/s\n", buffer_size >> 20,
                repeats);
    std::printf("  the programs take on this processor: %s\n", described(blowfish::processor_path()));
    std::printf("  %-48s %9s %9s %14s %14s\n", "", "encrypt", "decrypt", "ours/this enc", "ours/this dec");
    const contender& ours = all.front();
    for (const auto& c : all) {
        std::printf("  %-48s %9.1f %9.1f", c.name.c_str(), mb / c.best_encrypt, mb / c.best_decrypt);
        if (&c != &ours)
            std::printf(" %13.2fx %13.2fx", c.best_encrypt / ours.best_encrypt, c.best_decrypt / ours.best_decrypt);
        std::printf("\n");
    }
    for (const auto& s : skipped) std::printf("  (left out: %s)\n", s.c_str());
    std::printf("  all %zu produce identical bytes, both directions\n", all.size());

    figures.ours_encrypt = mb / ours.best_encrypt;
    figures.ours_decrypt = mb / ours.best_decrypt;
    figures.openssl_encrypt = mb / all[all.size() - peers.size()].best_encrypt;
    return figures;
}
