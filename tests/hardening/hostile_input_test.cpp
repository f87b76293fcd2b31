// Unusual and hostile choices handed to the real Linux file layer by a scripted chooser: devices,
// kernel files, links, awkward names, and folders and files this user may not write (tried as the
// unprivileged user nobody, since root may write anything). Each outcome is asserted, and after
// each run everything that existed is as it was.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "run_test_support.h"

namespace {

using namespace run_test;
namespace fs = std::filesystem;

using HostileInput = run_fixture;

// Devices and kernel files are not regular files, or report size 0: refused before any read, so
// that /dev/zero is never read endlessly and /proc is never written.
TEST_F(HostileInput, DevicesAndKernelFilesAreNotProcessed) {
    for (const char* chosen : {"/dev/zero", "/dev/null", "/dev/urandom", "/dev/full", "/proc/self/status",
                               "/proc/version", "/sys/kernel/mm/transparent_hugepage/enabled"}) {
        if (!fs::exists(chosen)) continue;
        expect_refused_input(chosen);
    }
}

// A link to a regular file is processed as that file; the link and its target stay as they were.
// A link to a device, to a folder, or in a loop is refused like what it points at.
TEST_F(HostileInput, SymlinksAreJudgedByWhatTheyPointAt) {
    fs::create_symlink(in, folder / "link-to-in");
    expect_run({folder / "link-to-in", out}, asked{input, output}, out, &expected);
    fs::remove(out);

    fs::create_symlink("/dev/zero", folder / "link-to-zero");
    expect_refused_input(folder / "link-to-zero");
    fs::create_symlink(folder.path(), folder / "link-to-folder");
    expect_refused_input(folder / "link-to-folder");
    fs::create_symlink(folder / "loop-b", folder / "loop-a");
    fs::create_symlink(folder / "loop-a", folder / "loop-b");
    expect_refused_input(folder / "loop-a");
}

// Between the look at the chosen name and the open, the name is moved away and something else put
// in its place: a FIFO, or a link to a device. The run opens the file it looked at, never what the
// name leads to by then, and processes it whole.
struct name_swapped_after_the_look : posix_platform {
    static inline fs::path chosen;
    static inline void (*put_in_place)(const fs::path&) = nullptr;
    name_swapped_after_the_look(path_chooser choose, output_naming naming) : posix_platform(std::move(choose), naming) {
        reopen_ = [](int looked_at) {
            fs::rename(chosen, chosen.string() + ".moved");
            put_in_place(chosen);
            return reopen(looked_at);
        };
    }
};

TEST_F(HostileInput, NameSwappedAfterTheLookIsNotOpened) {
    struct swap {
        const char* name;
        void (*put_in_place)(const fs::path&);
    };
    const swap swaps[] = {
        {"a FIFO", [](const fs::path& name) { ASSERT_EQ(mkfifo(name.c_str(), 0600), 0); }},
        {"a link to /dev/zero", [](const fs::path& name) { fs::create_symlink("/dev/zero", name); }},
    };
    for (const swap& each : swaps) {
        SCOPED_TRACE(each.name);
        name_swapped_after_the_look::chosen = in;
        name_swapped_after_the_look::put_in_place = each.put_in_place;
        EXPECT_EQ(run_with<name_swapped_after_the_look>({in, out}), (asked{input, output}));
        EXPECT_TRUE(read_file(out) == expected) << "the output is not the whole file looked at";
        EXPECT_TRUE(read_file(in.string() + ".moved") == original);
        fs::remove(in);
        fs::rename(in.string() + ".moved", in);
        fs::remove(out);
    }
}

// Names are passed through untouched, both ways.
TEST_F(HostileInput, AwkwardNamesAreProcessedBothWays) {
    for (const char* name : {"with  spaces .bin", "ñandú über 日本語.bin", "-leading-dash.bin", "--", "line\nbreak",
                             " ", "*?[]$`'\"\\"}) {
        SCOPED_TRACE(name);
        const fs::path source = folder / (std::string(name) + " in");
        const fs::path target = folder / name;
        write_file(source, original);
        expect_run({source, target}, asked{input, output}, target, &expected);
        fs::remove(source);
        fs::remove(target);
    }
}

// An output name that already exists in any form is never replaced or written through: a link to
// the input, a link to another file, a hard link of the input, the input's name spelled another way,
// a device or a FIFO. (The device is a node made in the test's folder, so that a fault here could
// never remove the system's /dev/null.)
TEST_F(HostileInput, OutputNamesThatAlreadyExistAreLeftAlone) {
    write_file(folder / "other.bin", random_bytes(100, 29));
    fs::create_symlink(in, folder / "link-to-in");
    fs::create_symlink(folder / "other.bin", folder / "link-to-other");
    fs::create_hard_link(in, folder / "hard-link");
    fs::create_directory(folder / "sub");
    ASSERT_EQ(mknod((folder / "null-device").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    for (const fs::path& chosen : {folder / "link-to-in", folder / "link-to-other", folder / "hard-link",
                                   folder / "sub" / ".." / "in.bin", folder / "." / "other.bin",
                                   folder / "null-device", folder / "fifo"})
        expect_refused_output(chosen);
}

// Outputs where nothing can be made: a name under a file, in a missing folder, in /proc.
TEST_F(HostileInput, OutputsThatCannotBeCreatedLeaveNothing) {
    for (const fs::path& chosen : {folder / "in.bin" / "out.bin", folder / "missing" / "out.bin",
                                   fs::path("/proc/self/out.bin"), fs::path("/proc/out.bin")})
        expect_refused_output(chosen);
}

// Root may write any file and any folder, so the cases that hinge on permission are run by the
// user nobody in a child: a read-only input, an input only root may write, and an output in a
// folder without write permission. The child reports what was asked through its exit code.
class AsNobody : public run_fixture {
protected:
    void SetUp() override {
        run_fixture::SetUp();
        ASSERT_EQ(chmod(folder.path().c_str(), 0755), 0);
    }

    // 0 when the run asked exactly questions, 1 otherwise, 77 when nobody cannot be become.
    static int run_as_nobody(answers script, const asked& questions) {
        return in_child([&] {
            if (!become_nobody()) return 77;
            return run_with(std::move(script)) == questions ? 0 : 1;
        });
    }

    static void give_to_nobody(const fs::path& path, mode_t mode) {
        const passwd* nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        ASSERT_EQ(lchown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }
};

TEST_F(AsNobody, InputsThisUserMayNotWriteAreNotProcessed) {
    give_to_nobody(in, 0444);
    const fs::path roots = folder / "roots.bin";
    write_file(roots, original);
    ASSERT_EQ(chmod(roots.c_str(), 0644), 0);
    for (const fs::path& chosen : {in, roots}) {
        SCOPED_TRACE(chosen);
        const snapshot before = take_snapshot(folder.path());
        const int code = run_as_nobody({chosen, out}, asked{input});
        if (code == 77) GTEST_SKIP() << "cannot become the user nobody";
        EXPECT_EQ(code, 0);
        expect_promise_kept(before, folder.path(), out, nullptr);
    }
}

// A file of another user that nobody may write through its group: the kernel grants no lease to
// a process that neither owns the file nor has CAP_LEASE, so the run holds it by flock alone and
// processes it.
TEST_F(AsNobody, GroupWritableFileOfAnotherUserIsProcessed) {
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chown(in.c_str(), 0, nobody->pw_gid), 0);
    ASSERT_EQ(chmod(in.c_str(), 0660), 0);
    const fs::path writable = folder / "writable";
    fs::create_directory(writable);
    give_to_nobody(writable, 0755);
    const snapshot before = take_snapshot(folder.path());
    const int code = run_as_nobody({in, writable / "out.bin"}, asked{input, output});
    if (code == 77) GTEST_SKIP() << "cannot become the user nobody";
    EXPECT_EQ(code, 0);
    expect_promise_kept(before, folder.path(), writable / "out.bin", &expected);
}

TEST_F(AsNobody, OutputInAFolderWithoutWritePermissionIsNotCreated) {
    give_to_nobody(in, 0600);
    const fs::path own_unwritable = folder / "own-unwritable";
    fs::create_directory(own_unwritable);
    give_to_nobody(own_unwritable, 0555);
    const fs::path roots_folder = folder / "roots-folder";
    fs::create_directory(roots_folder);
    ASSERT_EQ(chmod(roots_folder.c_str(), 0755), 0);

    for (const fs::path& chosen : {own_unwritable / "out.bin", roots_folder / "out.bin"}) {
        SCOPED_TRACE(chosen);
        const snapshot before = take_snapshot(folder.path());
        const int code = run_as_nobody({in, chosen}, asked{input, output});
        if (code == 77) GTEST_SKIP() << "cannot become the user nobody";
        EXPECT_EQ(code, 0);
        expect_promise_kept(before, folder.path(), chosen, nullptr);
    }

    // The same user in a folder it may write gets the whole output.
    const fs::path writable = folder / "writable";
    fs::create_directory(writable);
    give_to_nobody(writable, 0755);
    const snapshot before = take_snapshot(folder.path());
    EXPECT_EQ(run_as_nobody({in, writable / "out.bin"}, asked{input, output}), 0);
    expect_promise_kept(before, folder.path(), writable / "out.bin", &expected);
}

}  // namespace
