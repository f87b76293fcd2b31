// The speed figures: cipher throughput beside OpenSSL, libgcrypt and nettle, then the whole run
// beside `openssl enc` and `cp`. Usage: blowfish_bench [--quick] FOLDER
// The cipher part runs in a forked child, so that its large buffers do not raise the peak memory
// the whole-run children inherit from this process (a child's maxrss starts at its parent's).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cipher_throughput.h"
#include "configured_key.h"
#include "whole_run.h"

namespace {

cipher_figures ciphers_in_child(std::size_t buffer_size, int repeats) {
    cipher_figures figures;
    int channel[2];
    if (pipe(channel) != 0) return figures;
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        const cipher_figures measured = measure_ciphers(buffer_size, repeats);
        std::fflush(stdout);
        const bool sent = write(channel[1], &measured, sizeof measured) == static_cast<ssize_t>(sizeof measured);
        _exit(sent ? 0 : 1);
    }
    close(channel[1]);
    if (child > 0 && read(channel[0], &figures, sizeof figures) != static_cast<ssize_t>(sizeof figures)) figures = {};
    close(channel[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    return figures;
}

std::string key_hex() {
    std::string hex;
    for (const std::uint8_t byte : blowfish::configured_key) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
    }
    return hex;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc == 3 && std::strcmp(argv[1], "--quick") == 0;
    if (argc != 2 && !quick) {
        std::fprintf(stderr, "usage: blowfish_bench [--quick] FOLDER\n");
        return 2;
    }

    const cipher_figures figures = ciphers_in_child(quick ? 16u << 20 : 64u << 20, 3);
    if (!figures.identical) return 1;
    std::printf("\n");

    whole_run_setup setup;
    setup.folder = argv[argc - 1];
    setup.run_once = RUN_ONCE_PATH;
    setup.key_hex = key_hex();
    setup.sizes_mib = quick ? std::vector<std::uint32_t>{16} : std::vector<std::uint32_t>{1, 16, 256, 1024};
    setup.ours_cipher_mbs = figures.ours_encrypt;
    const bool runs_ok = measure_whole_runs(setup);

    std::printf("\nspeedup-vs-openssl: %.2f\n", figures.ours_encrypt / figures.openssl_encrypt);
    return runs_ok ? 0 : 1;
}
