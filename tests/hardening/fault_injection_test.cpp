// Faults in the middle of a run on real files: a write that stops part-way at the file-size limit,
// a file system that fills up, and the faults injected at the platform's seams. After each, the
// input and every other file are exactly as they were and the output exists only when complete.
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "run_test_support.h"

namespace {

using namespace run_test;
namespace fs = std::filesystem;

// Exit code of a child that found the fault cannot be made here.
constexpr int cannot_make_fault = 77;

using FaultInjection = run_fixture;

// The kernel stops writes at RLIMIT_FSIZE: the write that crosses it is cut short, the next fails
// with EFBIG (SIGXFSZ ignored, as the programs do). One byte under the input's length is already
// too little; exactly its length is enough.
TEST_F(FaultInjection, WriteCutShortByTheFileSizeLimitLeavesNoOutput) {
    const bytes content = random_bytes(300'001, 11);
    write_file(in, content);
    const bytes whole = encrypted_by_blocks(content);
    for (output_naming naming : both_namings) {
        for (rlim_t limit : {rlim_t{0}, rlim_t{1}, rlim_t{4096}, rlim_t{65536 + 3}, rlim_t{content.size() - 1},
                             rlim_t{content.size()}}) {
            SCOPED_TRACE(std::to_string(limit) + ", " + describe(naming));
            const snapshot before = take_snapshot(folder.path());
            const int code = in_child([&] {
                const rlimit cap{limit, limit};
                if (setrlimit(RLIMIT_FSIZE, &cap) != 0) return cannot_make_fault;
                signal(SIGXFSZ, SIG_IGN);
                return run_named({in, out}, naming) == asked{input, output} ? 0 : 1;
            });
            ASSERT_EQ(code, 0);
            expect_promise_kept(before, folder.path(), out, limit >= content.size() ? &whole : nullptr);
            fs::remove(out);
        }
    }
}

// A tmpfs of 64 KiB, mounted in a private mount namespace of a child so that it vanishes with the
// child whatever happens. An output too large for it fails part-way with ENOSPC and is removed,
// giving the space back; one that fits is written whole.
TEST_F(FaultInjection, FullFileSystemLeavesNoOutputAndGivesTheSpaceBack) {
    const fs::path small_disk = folder / "small-disk";
    fs::create_directory(small_disk);
    const bytes large = random_bytes(200'003, 13);
    const bytes small = random_bytes(16'387, 17);
    write_file(in, large);
    write_file(folder / "small.bin", small);

    const int code = in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", small_disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0700") != 0)
            return cannot_make_fault;
        write_file(small_disk / "kept.bin", random_bytes(4096, 19));
        struct statvfs empty {};
        statvfs(small_disk.c_str(), &empty);

        for (output_naming naming : both_namings) {
            SCOPED_TRACE(describe(naming));
            const snapshot before = take_snapshot(folder.path());
            EXPECT_EQ(run_named({in, small_disk / "out.bin"}, naming), (asked{input, output}));
            expect_promise_kept(before, folder.path(), small_disk / "out.bin", nullptr);
            struct statvfs after {};
            statvfs(small_disk.c_str(), &after);
            EXPECT_EQ(after.f_bfree, empty.f_bfree) << "the partial output's space was not given back";

            const bytes small_whole = encrypted_by_blocks(small);
            const snapshot before_small = take_snapshot(folder.path());
            run_named({folder / "small.bin", small_disk / "out.bin"}, naming);
            expect_promise_kept(before_small, folder.path(), small_disk / "out.bin", &small_whole);
            fs::remove(small_disk / "out.bin");
        }
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    if (code == cannot_make_fault) GTEST_SKIP() << "cannot mount a small tmpfs here (needs CAP_SYS_ADMIN and unshare)";
    EXPECT_EQ(code, 0);
}

// Writes half the output, tells the test, and waits to be killed.
struct stops_half_way : posix_platform {
    using posix_platform::posix_platform;
    static inline int told = -1;
    bool write_some(const std::uint8_t* from, std::uint32_t want, std::uint32_t& put) {
        const bool wrote = posix_platform::write_some(from, want / 2, put);
        if (write(told, "h", 1) != 1) return false;
        for (;;) pause();
        return wrote;
    }
};

// A run killed while writing, by SIGKILL or by the SIGTERM of a logout, leaves nothing under the
// output name: the output gets its name only once it is whole.
TEST_F(FaultInjection, RunKilledWhileWritingLeavesNoOutput) {
    write_file(in, random_bytes(100'003, 43));
    for (int killer : {SIGKILL, SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(killer);
        int pipe_ends[2];
        ASSERT_EQ(pipe(pipe_ends), 0);
        stops_half_way::told = pipe_ends[1];
        const snapshot before = take_snapshot(folder.path());
        const pid_t child = start_child([&] {
            run_with<stops_half_way>({in, out});
            return 0;
        });
        char byte = 0;
        EXPECT_EQ(read(pipe_ends[0], &byte, 1), 1);
        kill(child, killer);
        EXPECT_EQ(wait_child(child), 128 + killer);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        expect_promise_kept(before, folder.path(), out, nullptr);
    }
}

// The input shrinks on disk, by another process's hand, between the size check and the read: the
// read ends early for real and the run stops before the output chooser. A write lease on the input
// keeps any other process from truncating it until the run has closed it, so this can happen only
// where the run holds the input by flock alone: here a file of another user, run as nobody.
struct input_shrinks_after_size_check : posix_platform {
    using posix_platform::posix_platform;
    static inline fs::path shrink;
    static inline int strikes = 0;
    std::uint64_t input_length() {
        const std::uint64_t length = posix_platform::input_length();
        ++strikes;
        fs::resize_file(shrink, length / 2);
        return length;
    }
};

// The child's count of strikes does not reach this process: the child says through its exit code
// that the input shrank and the run then asked no more.
asked shrinking_input_run_as_nobody(answers script, output_naming naming) {
    const int code = in_child([&] {
        if (!become_nobody()) return cannot_make_fault;
        const asked questions = run_named<input_shrinks_after_size_check>(std::move(script), naming);
        return questions == asked{input} && input_shrinks_after_size_check::strikes != 0 ? 0 : 1;
    });
    EXPECT_NE(code, cannot_make_fault) << "cannot become the user nobody";
    if (code == 0) ++input_shrinks_after_size_check::strikes;
    return code == 0 ? asked{input} : asked{};
}

// Each injected fault, at lengths from just past the point where the write fault strikes to one
// block past 1 MiB, on both ways of making the output, against the whole promise. Each run must
// have met its fault: one that ended earlier for another reason proves nothing.
TEST_F(FaultInjection, InjectedFaultsKeepThePromise) {
    using run_kind = asked (*)(answers, output_naming);
    struct fault {
        const char* name;
        run_kind run;
        asked questions;
        int* strikes;
    };
    const fault faults[] = {
        {"no memory", run_named<no_memory>, {input}, &no_memory::strikes},
        {"failing read", run_named<failing_read>, {input}, &failing_read::strikes},
        {"file ends early", run_named<file_ends_early>, {input}, &file_ends_early::strikes},
        {"input shrinks", shrinking_input_run_as_nobody, {input}, &input_shrinks_after_size_check::strikes},
        {"write fails part-way", run_named<write_fails_part_way>, {input, output}, &write_fails_part_way::strikes},
        {"flush fails", run_named<flush_fails>, {input, output}, &failed_flushes<false>},
        {"folder flush fails", run_named<folder_flush_fails>, {input, output}, &failed_flushes<true>},
    };
    ASSERT_EQ(chmod(folder.path().c_str(), 0755), 0);
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    for (output_naming naming : both_namings) {
        for (const fault& each : faults) {
            // The shrinking file is the other process's doing: it is left out of the comparison.
            // It belongs to root, writable by nobody's group.
            const bool shrinks = std::string(each.name) == "input shrinks";
            const fs::path source = shrinks ? folder / "shrinking.bin" : in;
            input_shrinks_after_size_check::shrink = source;
            for (std::size_t length : {501u, 1003u, (1u << 20) + 8}) {
                SCOPED_TRACE(std::string(each.name) + ", " + std::to_string(length) + " bytes, " + describe(naming));
                if (!shrinks) write_file(source, random_bytes(length, static_cast<unsigned>(length)));
                const snapshot before = take_snapshot(folder.path());
                if (shrinks) {
                    write_file(source, random_bytes(length, static_cast<unsigned>(length)));
                    ASSERT_EQ(chown(source.c_str(), 0, nobody->pw_gid), 0);
                    ASSERT_EQ(chmod(source.c_str(), 0660), 0);
                }
                *each.strikes = 0;
                EXPECT_EQ(each.run({source, out}, naming), each.questions);
                EXPECT_EQ(*each.strikes, 1) << "the run did not meet its fault";
                if (shrinks) fs::remove(source);
                expect_promise_kept(before, folder.path(), out, nullptr);
                fs::remove(out);  // so that one failure does not hide the next
            }
        }
    }
}

}  // namespace
