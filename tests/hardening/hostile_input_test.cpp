// Unusual and hostile choices handed to the real Linux file layer by a scripted chooser, in a
// folder full of them: devices, kernel files, links, awkward names, and files and folders this
// user may not write (tried as the unprivileged user nobody, since root may write anything). Each
// case asserts what was asked, and that after the run everything that existed is as it was and an
// output, where one may appear, holds the whole result.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>

#include "../run_test_support.h"

namespace {

using namespace run_test;

enum class outcome { ends_after_open_dialog, ends_after_save_dialog, processed };
constexpr auto refused_input = outcome::ends_after_open_dialog;
constexpr auto refused_output = outcome::ends_after_save_dialog;
constexpr auto processed = outcome::processed;

// How another process holds the input while the run tries it; it then closes it, and the same
// run is made again.
enum class holder { none, writing, reading, locking };

struct choice {
    const char* name;
    const char* input;   // in the folder, or absolute; nullptr cancels the open dialog
    const char* output;  // likewise; nullptr cancels the save dialog
    outcome expected;
    bool as_nobody = false;
    holder held = holder::none;
};

const choice choices[] = {
    {"input_cancelled", nullptr, "out.bin", refused_input},
    // Not regular files, or size 0: refused before any read, so that /dev/zero is never read
    // endlessly and /proc is never written. A link is judged by what it points at.
    {"missing", "missing", "out.bin", refused_input},
    {"folder", "folder", "out.bin", refused_input},
    {"fifo", "fifo", "out.bin", refused_input},
    {"dev_zero", "/dev/zero", "out.bin", refused_input},
    {"dev_null", "/dev/null", "out.bin", refused_input},
    {"dev_urandom", "/dev/urandom", "out.bin", refused_input},
    {"dev_full", "/dev/full", "out.bin", refused_input},
    {"proc_self_status", "/proc/self/status", "out.bin", refused_input},
    {"proc_version", "/proc/version", "out.bin", refused_input},
    {"sys_file", "/sys/kernel/mm/transparent_hugepage/enabled", "out.bin", refused_input},
    {"link_to_a_device", "link-to-zero", "out.bin", refused_input},
    {"link_to_a_folder", "link-to-folder", "out.bin", refused_input},
    {"loop_of_links", "loop-a", "out.bin", refused_input},
    {"link_to_the_input", "link-to-in", "out.bin", processed},
    // No write bits: refused even by root, who could write it anyway; as nobody also root's file.
    {"read_only", "read-only.bin", "out.bin", refused_input},
    {"read_only_as_nobody", "nobodys-read-only.bin", "writable/out.bin", refused_input, true},
    {"roots_file_as_nobody", "roots.bin", "writable/out.bin", refused_input, true},
    // Another user's file that nobody may write through its group: the kernel grants no lease to a
    // process that neither owns the file nor has CAP_LEASE, so the run holds it by flock alone.
    {"group_writable_file_of_another_user", "group-writable.bin", "writable/out.bin", processed, true},
    // An input that another process holds, open for writing (as a download in progress) or for
    // reading, or locked, is in use: the run does not process it, as on Windows, where the input is
    // opened with no sharing; once that process has closed it, the same run processes it. Run as
    // nobody on another user's file, which gets no lease, the run has only the lock to go by.
    {"open_for_writing_in_another_process", "in.bin", "out.bin", refused_input, false, holder::writing},
    {"open_for_reading_in_another_process", "in.bin", "out.bin", refused_input, false, holder::reading},
    {"locked_by_another_process", "in.bin", "out.bin", refused_input, false, holder::locking},
    {"locked_by_another_process_as_nobody", "group-writable.bin", "writable/out.bin", refused_input, true,
     holder::locking},
    // An output name that exists in any form is never replaced or written through; a dangling
    // link's target would appear as a new name.
    {"output_cancelled", "in.bin", nullptr, refused_output},
    {"existing_file", "in.bin", "existing.bin", refused_output},
    {"output_is_the_input", "in.bin", "in.bin", refused_output},
    {"output_is_a_folder", "in.bin", "folder", refused_output},
    {"dangling_link", "in.bin", "dangling", refused_output},
    {"link_to_the_input_as_output", "in.bin", "link-to-in", refused_output},
    {"link_to_another_file", "in.bin", "link-to-existing", refused_output},
    {"hard_link_of_the_input", "in.bin", "hard-link", refused_output},
    {"input_spelled_with_dots", "in.bin", "folder/../in.bin", refused_output},
    {"other_spelled_with_a_dot", "in.bin", "./existing.bin", refused_output},
    {"device_node", "in.bin", "null-device", refused_output},
    {"fifo_as_output", "in.bin", "fifo", refused_output},
    // Where nothing can be made.
    {"under_a_file", "in.bin", "in.bin/out.bin", refused_output},
    {"in_a_missing_folder", "in.bin", "missing/out.bin", refused_output},
    {"in_proc_self", "in.bin", "/proc/self/out.bin", refused_output},
    {"in_proc", "in.bin", "/proc/out.bin", refused_output},
    {"own_folder_without_write_permission", "nobodys.bin", "own-unwritable/out.bin", refused_output, true},
    {"roots_folder", "nobodys.bin", "roots-folder/out.bin", refused_output, true},
    {"folder_nobody_may_write", "nobodys.bin", "writable/out.bin", processed, true},
    // Names are passed through untouched, both ways: the input of each name_ row is made, the
    // output is the awkward name itself.
    {"name_with_spaces", "with  spaces .bin in", "with  spaces .bin", processed},
    {"name_not_ascii", "ñandú über 日本語.bin in", "ñandú über 日本語.bin", processed},
    {"name_with_a_leading_dash", "-leading-dash.bin in", "-leading-dash.bin", processed},
    {"name_two_dashes", "-- in", "--", processed},
    {"name_with_a_line_break", "line\nbreak in", "line\nbreak", processed},
    {"name_a_space", "  in", " ", processed},
    {"name_of_shell_characters", "*?[]$`'\"\\ in", "*?[]$`'\"\\", processed},
};

class HostileChoice : public run_fixture, public ::testing::WithParamInterface<choice> {
protected:
    // Every odd name the table chooses. The device is a node made here, so that a fault could
    // never remove the system's /dev/null.
    void SetUp() override {
        run_fixture::SetUp();
        const uid_t user = nobody().pw_uid;
        const gid_t group = nobody().pw_gid;
        ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
        const auto own = [&](const char* name, uid_t owner, gid_t owners, mode_t mode) {
            ASSERT_EQ(lchown((folder / name).c_str(), owner, owners), 0);
            ASSERT_EQ(chmod((folder / name).c_str(), mode), 0);
        };
        for (const char* name : {"read-only.bin", "nobodys-read-only.bin", "roots.bin", "group-writable.bin", "nobodys.bin"})
            write_file(folder / name, original);
        own("read-only.bin", 0, 0, 0444);
        own("nobodys-read-only.bin", user, group, 0444);
        own("roots.bin", 0, 0, 0644);
        own("group-writable.bin", 0, group, 0660);
        own("nobodys.bin", user, group, 0600);
        for (const char* name : {"folder", "own-unwritable", "roots-folder", "writable"}) fs::create_directory(folder / name);
        own("own-unwritable", user, group, 0555);
        own("roots-folder", 0, 0, 0755);
        own("writable", user, group, 0755);
        write_file(folder / "existing.bin", random_bytes(20, 3));
        ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
        ASSERT_EQ(mknod((folder / "null-device").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        fs::create_symlink("/dev/zero", folder / "link-to-zero");
        fs::create_symlink(folder, folder / "link-to-folder");
        fs::create_symlink(folder / "loop-b", folder / "loop-a");
        fs::create_symlink(folder / "loop-a", folder / "loop-b");
        fs::create_symlink(in, folder / "link-to-in");
        fs::create_symlink(folder / "existing.bin", folder / "link-to-existing");
        fs::create_symlink(folder / "target", folder / "dangling");
        fs::create_hard_link(in, folder / "hard-link");
        for (const choice& row : choices)
            if (std::string(row.name).starts_with("name_")) write_file(folder / row.input, original);
    }
};

TEST_P(HostileChoice, KeepsThePromise) {
    const choice& chosen = GetParam();
    const fs::path source = chosen.input ? folder / chosen.input : fs::path();
    if (chosen.input && chosen.input[0] == '/' && !fs::exists(source)) GTEST_SKIP() << source << " does not exist here";
    const fs::path target = folder / (chosen.output ? chosen.output : "out.bin");
    const answers script{chosen.input ? std::optional(source) : std::nullopt,
                         chosen.output ? std::optional(target) : std::nullopt};
    // Another process holding the input opens it, tells, and keeps it until told.
    const channel holds, release;
    const pid_t holding = chosen.held == holder::none ? -1 : start_child([&] {
        const int held = open(source.c_str(), chosen.held == holder::writing ? O_WRONLY | O_APPEND : O_RDONLY);
        const bool locked = chosen.held != holder::locking || flock(held, LOCK_EX) == 0;
        return held >= 0 && locked && holds.send() && release.wait() ? 0 : 1;
    });
    if (holding >= 0) {
        ASSERT_TRUE(holds.wait());
    }
    expect_run(script, chosen.expected == refused_input ? asked{input} : asked{input, output}, target,
               chosen.expected == processed ? &expected : nullptr, output_naming::unnamed_until_finished, chosen.as_nobody);
    if (holding < 0) return;
    EXPECT_TRUE(release.send());
    EXPECT_EQ(wait_child(holding), 0);
    expect_run(script, asked{input, output}, target, &expected, output_naming::unnamed_until_finished,
               chosen.as_nobody);
}

INSTANTIATE_TEST_SUITE_P(Layer, HostileChoice, ::testing::ValuesIn(choices),
                         [](const auto& row) { return std::string(row.param.name); });

using HostileInput = run_fixture;

// Between the look at the chosen name and the open, the name is moved away and something else put
// in its place: a FIFO, or a link to a device. The run opens the file it looked at, never what the
// name leads to by then, and processes it whole.
TEST_F(HostileInput, NameSwappedAfterTheLookIsNotOpened) {
    const fs::path moved = in.string() + ".moved";
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "a FIFO" : "a link to /dev/zero");
        hooks.before_reopen = [&] {
            fs::rename(in, moved);
            if (fifo) {
                ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
            } else {
                fs::create_symlink("/dev/zero", in);
            }
        };
        EXPECT_EQ(run({in, out}), (asked{input, output}));
        EXPECT_TRUE(read_file(out) == expected) << "the output is not the whole file looked at";
        EXPECT_TRUE(read_file(moved) == original);
        fs::remove(in);
        fs::rename(moved, in);
        fs::remove(out);
    }
}

}  // namespace
