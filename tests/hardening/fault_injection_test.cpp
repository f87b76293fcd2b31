// Faults in the middle of a run on real files: the file-size limit, a full file system, a kill, and
// faults injected at the platform's seams. After each, the run has kept the promise.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

#include <cerrno>

#include "../run_test_support.h"

namespace {

using namespace run_test;

using FaultInjection = run_fixture;

// The write that crosses RLIMIT_FSIZE is cut short, the next fails with EFBIG (SIGXFSZ ignored, as
// the programs do). One byte under the input's length is too little; exactly its length is enough.
TEST_F(FaultInjection, WriteCutShortByTheFileSizeLimitLeavesNoOutput) {
    const bytes content = random_bytes(300'001, 11);
    write_file(in, content);
    const bytes whole = encrypted_by_blocks(content);
    for (output_naming naming : both_namings) {
        for (rlim_t limit : std::initializer_list<rlim_t>{0, 1, 4096, 65536 + 3, content.size() - 1, content.size()}) {
            SCOPED_TRACE(std::to_string(limit) + ", " + describe(naming));
            const snapshot before = take_snapshot(folder);
            const int code = in_child([&] {
                const rlimit cap{limit, limit};
                signal(SIGXFSZ, SIG_IGN);
                return setrlimit(RLIMIT_FSIZE, &cap) == 0 && run({in, out}, naming) == asked{input, output} ? 0 : 1;
            });
            ASSERT_EQ(code, 0);
            expect_promise_kept(before, folder, out, limit >= content.size() ? &whole : nullptr);
            fs::remove(out);
        }
    }
}

// A 64 KiB tmpfs in a child's private mount namespace (it vanishes with the child): an output too
// large for it fails part-way with ENOSPC and is removed, giving the space back; one that fits is whole.
TEST_F(FaultInjection, FullFileSystemLeavesNoOutputAndGivesTheSpaceBack) {
    const fs::path small_disk = folder / "small-disk";
    const fs::path small_out = small_disk / "out.bin";
    fs::create_directory(small_disk);
    write_file(folder / "large.bin", random_bytes(200'003, 13));
    // Mounting needs root: an ordinary user's own, in a user namespace.
    const pid_t child = start_as_root([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", small_disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0700") != 0)
            return 77;  // the fault cannot be made here
        write_file(small_disk / "kept.bin", random_bytes(4096, 19));
        struct statvfs empty {};
        statvfs(small_disk.c_str(), &empty);
        for (output_naming naming : both_namings) {
            SCOPED_TRACE(describe(naming));
            expect_run({folder / "large.bin", small_out}, asked{input, output}, small_out, nullptr, naming);
            struct statvfs after {};
            statvfs(small_disk.c_str(), &after);
            EXPECT_EQ(after.f_bfree, empty.f_bfree) << "the partial output's space was not given back";
            expect_run({in, small_out}, asked{input, output}, small_out, &expected, naming);
            fs::remove(small_out);
        }
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    const int code = child < 0 ? 77 : wait_child(child);
    if (code == 77) GTEST_SKIP() << "cannot mount a small tmpfs here (needs CAP_SYS_ADMIN and unshare)";
    EXPECT_EQ(code, 0);
}

// A run killed half-way through its writes, by SIGKILL or by the SIGTERM of a logout, leaves nothing
// under the output name: the output gets its name only once it is whole.
TEST_F(FaultInjection, RunKilledWhileWritingLeavesNoOutput) {
    write_file(in, random_bytes(100'003, 43));
    const channel told;
    hooks.write_some = [&](linux_platform& os, const std::uint8_t* from, std::uint32_t want, std::uint32_t& put) {
        if (os.write_some(from, want / 2, put) && told.send())
            for (;;) pause();
        return false;
    };
    for (int killer : {SIGKILL, SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(killer);
        const snapshot before = take_snapshot(folder);
        const pid_t child = start_child([&] { return run({in, out}), 0; });
        EXPECT_TRUE(told.wait());
        kill(child, killer);
        EXPECT_EQ(wait_child(child), 128 + killer);
        expect_promise_kept(before, folder, out, nullptr);
    }
}

// Fails the flush of a folder (folder true) or of a file (false) with EIO; flushes the others.
std::function<int(int)> fail_flush_of(bool folder) {
    return [folder](int descriptor) {
        struct stat info {};
        if (fstat(descriptor, &info) != 0 || S_ISDIR(info.st_mode) != folder) return fsync(descriptor);
        ++strikes;
        errno = EIO;
        return -1;
    };
}

// Each fault at the platform's seams, at lengths from just past where the write fault strikes to
// one block past 1 MiB, on both ways of making the output. The input can shrink only where the run
// holds it by flock alone, without a lease: another user's file, run as nobody. A name another
// process takes over before a failed run cleans up is left alone.
TEST_F(FaultInjection, InjectedFaultsKeepThePromise) {
    using u32 = std::uint32_t;
    const fs::path shrinking = folder / "shrinking.bin";
    const bytes taken_over = random_bytes(77, 5);
    struct fault {
        const char* name;
        platform_hooks planted;
        asked questions;
        bool as_nobody = false;
        const bytes* leaves = nullptr;  // under the output's name
    };
    const fault faults[] = {
        {"no memory", {.allocate_zeroed = [](linux_platform&, u32) -> std::uint8_t* { return ++strikes, nullptr; }}, {input}},
        {"failing read", {.read_some = [](linux_platform&, std::uint8_t*, u32, u32&) { return ++strikes, false; }}, {input}},
        {"file ends early",  // the first read gets part, the next none
         {.read_some = [reads = 0](linux_platform& os, std::uint8_t* at, u32 want, u32& got) mutable {
              return reads++ == 0 ? os.read_some(at, want / 2, got) : (got = 0, ++strikes, true);
          }}, {input}},
        {"input shrinks",
         {.input_length = [shrinking](linux_platform& os) {
              const std::uint64_t length = os.input_length();
              fs::resize_file(shrinking, length / 2);
              return ++strikes, length;
          }}, {input}, true},
        {"write fails part-way",  // in small pieces, then a failure
         {.write_some = [written = 0u](linux_platform& os, const std::uint8_t* from, u32 want, u32& put) mutable {
              if (written >= 500) return ++strikes, false;
              const bool wrote = os.write_some(from, std::min(want, 100u), put);
              written += put;
              return wrote;
          }}, {input, output}},
        {"flush fails", {.flush = fail_flush_of(false)}, {input, output}},
        {"folder flush fails", {.flush = fail_flush_of(true)}, {input, output}},
        {"another process takes the name",
         {.write_some = [&](linux_platform&, const std::uint8_t*, u32, u32&) {
              fs::remove(out);
              write_file(out, taken_over);
              return ++strikes, false;
          }}, {input, output}, false, &taken_over},
    };
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    const char* skipped = nullptr;  // a fault that needs another user, where none can be had
    for (output_naming naming : both_namings) {
        for (const fault& each : faults) {
            if (each.as_nobody && !other_user_available()) {
                skipped = each.name;
                continue;
            }
            const fs::path source = each.as_nobody ? shrinking : in;
            for (std::size_t length : {501u, 1003u, (1u << 20) + 8}) {
                SCOPED_TRACE(std::string(each.name) + ", " + std::to_string(length) + " bytes, " + describe(naming));
                write_file(source, random_bytes(length, static_cast<unsigned>(length)));
                snapshot before = take_snapshot(folder);
                if (each.as_nobody) {  // root's, writable by nobody's group; shrinking, so not compared
                    before.erase(source.filename().string());
                    ASSERT_EQ(as_root([&] {
                                  return chown(source.c_str(), 0, nobody().pw_gid) == 0 && chmod(source.c_str(), 0660) == 0 ? 0 : 1;
                              }),
                              0);
                }
                hooks = each.planted;
                strikes = 0;
                EXPECT_EQ(run({source, out}, naming, each.as_nobody), each.questions);
                EXPECT_EQ(strikes, 1) << "the run did not meet its fault";
                if (each.as_nobody) fs::remove(source);
                expect_promise_kept(before, folder, out, each.leaves);
                fs::remove(out);  // so that one failure does not hide the next
            }
        }
    }
    if (skipped) GTEST_SKIP() << "every fault ran but \"" << skipped << "\", which needs another user: " << why_no_other_user();
}

}  // namespace
