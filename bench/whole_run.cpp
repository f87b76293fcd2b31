#include "whole_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "random_bytes.h"

extern char** environ;

namespace {

struct outcome {
    bool ok = false;
    double seconds = 0;
    double peak_mib = 0;  // the child's peak resident memory
};

// posix_spawn then wait4: the wall time from start to exit, and the child's own rusage.
outcome spawn_and_wait(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    outcome result;
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return result;
    int status = 0;
    struct rusage usage {};
    if (wait4(child, &status, 0, &usage) != child) return result;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

// Random content written in 1 MiB pieces, so that the benchmark itself stays small in memory.
bool write_input(const std::string& path, std::uint32_t mib) {
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file < 0) return false;
    bool ok = true;
    for (std::uint32_t i = 0; i < mib && ok; ++i) {
        const std::vector<std::uint8_t> piece = random_bytes(1u << 20, mib << 12 | i);
        ok = write(file, piece.data(), piece.size()) == static_cast<ssize_t>(piece.size());
    }
    return close(file) == 0 && ok;
}

bool same_content(const std::string& a, const std::string& b) {
    const int fa = open(a.c_str(), O_RDONLY | O_CLOEXEC);
    const int fb = open(b.c_str(), O_RDONLY | O_CLOEXEC);
    bool same = fa >= 0 && fb >= 0;
    std::vector<char> pa(1u << 20), pb(1u << 20);
    while (same) {
        const ssize_t na = read(fa, pa.data(), pa.size());
        ssize_t nb = 0;
        while (nb < na) {  // a regular file gives what is asked unless at its end
            const ssize_t got = read(fb, pb.data() + nb, static_cast<std::size_t>(na - nb));
            if (got <= 0) break;
            nb += got;
        }
        same = na >= 0 && nb == na && std::memcmp(pa.data(), pb.data(), static_cast<std::size_t>(na)) == 0;
        if (na == 0) break;
    }
    if (same) same = read(fb, pb.data(), 1) == 0;
    if (fa >= 0) close(fa);
    if (fb >= 0) close(fb);
    return same;
}

// Writes back everything dirty in the folder's file system, so that no measurement pays for the
// write-back of the one before.
void settle(const std::string& folder) {
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        syncfs(dir);
        close(dir);
    }
}

struct best {
    outcome o{false, 1e30, 0};
    void keep(const outcome& x) {
        if (x.seconds < o.seconds) o = x;
        o.ok = x.ok;
        o.peak_mib = std::max(o.peak_mib, x.peak_mib);
    }
};

void print_row(const char* what, const outcome& o, double mb) {
    std::printf("    %-44s %8.3f s %9.1f MB/s %9.1f MiB\n", what, o.seconds, mb / o.seconds, o.peak_mib);
}

}  // namespace

bool measure_whole_runs(const whole_run_setup& setup) {
    const std::string in = setup.folder + "/input.bin";
    // Each repeat writes new names, and the outputs are deleted only after the last repeat, so that
    // no measurement shares its fsync with freeing (and, on a file system mounted with discard,
    // discarding) the blocks of the output just before it.
    std::vector<std::string> outputs;
    auto output = [&](const char* name, int repeat) {
        outputs.push_back(setup.folder + "/" + name + "-" + std::to_string(repeat) + ".bin");
        return outputs.back();
    };

    const outcome floor = spawn_and_wait({"true"});
    std::printf("Whole run of encrypt (the real run: read, transform, write, fsync) beside openssl enc and cp\n");
    std::printf("  files in %s, page cache warm for the input; MB/s = 10^6 bytes/s; peak = child's maxrss\n",
                setup.folder.c_str());
    std::printf("  (a spawned /bin/true shows %.1f MiB peak: the floor every child inherits from this launcher)\n",
                floor.peak_mib);

    bool all_ok = true;
    for (const std::uint32_t mib : setup.sizes_mib) {
        if (!write_input(in, mib)) {
            std::printf("  could not write a %u MiB input in %s\n", mib, setup.folder.c_str());
            return false;
        }
        const double mb = static_cast<double>(mib) * 1048576.0 / 1e6;
        const int repeats = mib >= 1024 ? 1 : 3;
        best ours, ours_unflushed, allocation, openssl, cp, cp_sync;
        std::string ours_out, unflushed_out, openssl_out;
        for (int r = 0; r < repeats; ++r) {
            ours_out = output("ours", r);
            unflushed_out = output("ours-without-fsync", r);
            openssl_out = output("openssl", r);
            const std::string cp_out = output("cp", r);
            settle(setup.folder);
            ours.keep(spawn_and_wait({setup.run_once, "encrypt", in, ours_out}));
            settle(setup.folder);
            ours_unflushed.keep(spawn_and_wait({setup.run_once, "encrypt-without-fsync", in, unflushed_out}));
            allocation.keep(spawn_and_wait({setup.run_once, "allocate", in}));
            settle(setup.folder);
            openssl.keep(spawn_and_wait({"openssl", "enc", "-bf-ecb", "-nopad", "-K", setup.key_hex, "-provider",
                                         "legacy", "-provider", "default", "-in", in, "-out", openssl_out}));
            settle(setup.folder);
            const outcome copied = spawn_and_wait({"cp", in, cp_out});
            const outcome synced = spawn_and_wait({"sync", cp_out});
            cp.keep(copied);
            cp_sync.keep(
                {copied.ok && synced.ok, copied.seconds + synced.seconds, std::max(copied.peak_mib, synced.peak_mib)});
        }
        struct stat info {};
        const bool ok = ours.o.ok && ours_unflushed.o.ok && allocation.o.ok && openssl.o.ok && cp.o.ok &&
                        stat(ours_out.c_str(), &info) == 0 && info.st_size == static_cast<off_t>(mib) << 20 &&
                        same_content(ours_out, openssl_out) && same_content(unflushed_out, openssl_out);
        for (const auto& file : outputs) unlink(file.c_str());
        outputs.clear();
        unlink(in.c_str());
        settle(setup.folder);
        if (!ok) {
            std::printf("  %u MiB: a run failed or our output differs from openssl's; no figures for it\n", mib);
            all_ok = false;
            continue;
        }
        const double cipher_s = mb / setup.ours_cipher_mbs;
        std::printf("  %u MiB (best of %d), our output identical to openssl's:\n", mib, repeats);
        print_row("ours: encrypt run with fsync", ours.o, mb);
        print_row("  of which: taking its buffer, populated", allocation.o, mb);
        print_row("ours without the fsync", ours_unflushed.o, mb);
        print_row("openssl enc -bf-ecb -nopad (no fsync)", openssl.o, mb);
        print_row("cp (no fsync)", cp.o, mb);
        print_row("cp, then sync of that file", cp_sync.o, mb);
        std::printf(
            "    openssl enc time over ours: %.2fx (ours without fsync: %.2fx); our peak over file size: %+.1f MiB\n",
            openssl.o.seconds / ours.o.seconds, openssl.o.seconds / ours_unflushed.o.seconds, ours.o.peak_mib - mib);
        std::printf(
            "    ours over (cipher %.3f s + cp): %.2f; ours over (cipher + cp + sync): %.2f; "
            "ours without fsync over (cipher + cp): %.2f\n",
            cipher_s, ours.o.seconds / (cipher_s + cp.o.seconds), ours.o.seconds / (cipher_s + cp_sync.o.seconds),
            ours_unflushed.o.seconds / (cipher_s + cp.o.seconds));
    }
    return all_ok;
}
