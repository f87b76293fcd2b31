// Unusual and hostile choices handed to the real Linux file layer by a scripted chooser: devices,
// kernel files, links, awkward names, and files and folders this user may not write (tried as the
// user nobody, since root may write anything; an ordinary user takes nobody in a user namespace).
// Each case checks what was asked, and the promise.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>

#include "../run_test_support.h"

namespace {

using namespace run_test;

enum outcome { refused_input, refused_output, processed };  // the run ends after the open or save dialog

// How another process holds the input while the run tries it; once it closes it, the run is made again.
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
    // No write bits: refused even by root, who could write it anyway.
    {"read_only", "read-only.bin", "out.bin", refused_input},
    {"read_only_as_nobody", "nobodys-read-only.bin", "writable/out.bin", refused_input, true},
    {"roots_file_as_nobody", "roots.bin", "writable/out.bin", refused_input, true},
    // Another user's file that nobody may write through its group: the kernel grants no lease to a
    // process that neither owns the file nor has CAP_LEASE, so the run holds it by flock alone.
    {"group_writable_file_of_another_user", "group-writable.bin", "writable/out.bin", processed, true},
    // An input another process holds open for writing (a download in progress) or for reading, or
    // locks, is in use, as on Windows, where the input is opened with no sharing. As nobody on
    // another user's file, which gets no lease, the run has only the lock to go by.
    {"open_for_writing_in_another_process", "in.bin", "out.bin", refused_input, false, holder::writing},
    {"open_for_reading_in_another_process", "in.bin", "out.bin", refused_input, false, holder::reading},
    {"locked_by_another_process", "in.bin", "out.bin", refused_input, false, holder::locking},
    {"locked_by_another_process_as_nobody", "group-writable.bin", "writable/out.bin", refused_input, true,
     holder::locking},
    // An output name that exists in any form is never replaced or written through.
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
    // Names are passed through untouched: each name_ row's input is made, its output is the name.
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
    // Every odd name the table chooses; the device is made here, so that no fault removes /dev/null.
    void SetUp() override {
        run_fixture::SetUp();
        const uid_t user = nobody().pw_uid;
        const gid_t group = nobody().pw_gid;
        ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
        // Files (.bin, holding the original) and folders, with their owners and modes.
        const std::tuple<std::string, uid_t, gid_t, mode_t> owned[] = {
            {"read-only.bin", 0, 0, 0444},      {"nobodys-read-only.bin", user, group, 0444},
            {"roots.bin", 0, 0, 0644},          {"group-writable.bin", 0, group, 0660},
            {"nobodys.bin", user, group, 0600}, {"own-unwritable", user, group, 0555},
            {"roots-folder", 0, 0, 0755},       {"writable", user, group, 0755}};
        for (const auto& [name, owner, owners, mode] : owned) {
            if (name.ends_with(".bin")) write_file(folder / name, original);
            else fs::create_directory(folder / name);
        }
        // Only root gives a file away: where no other user can be had, they stay this user's, and
        // only the rows run as nobody are skipped.
        const bool other_users = why_no_other_user().empty();
        const auto give_owners = [&] {
            for (const auto& [name, owner, owners, mode] : owned)
                if ((other_users && lchown((folder / name).c_str(), owner, owners) != 0) ||
                    chmod((folder / name).c_str(), mode) != 0)
                    return 1;
            return 0;
        };
        ASSERT_EQ(other_users ? as_root(give_owners) : give_owners(), 0) << "cannot give the files their owners and modes";
        fs::create_directory(folder / "folder");
        write_file(folder / "existing.bin", random_bytes(20, 3));
        ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
        // Only root makes device nodes (CAP_MKNOD, which no user namespace gives): without, the
        // row that needs one is skipped.
        const int made = mknod((folder / "null-device").c_str(), S_IFCHR | 0666, makedev(1, 3));
        ASSERT_TRUE(made == 0 || (geteuid() != 0 && errno == EPERM)) << "mknod: " << std::strerror(errno);
        const std::pair<fs::path, const char*> links[] = {
            {"/dev/zero", "link-to-zero"}, {folder, "link-to-folder"}, {folder / "loop-b", "loop-a"},
            {folder / "loop-a", "loop-b"}, {in, "link-to-in"},         {folder / "existing.bin", "link-to-existing"},
            {folder / "target", "dangling"}};
        for (const auto& [target, name] : links) fs::create_symlink(target, folder / name);
        fs::create_hard_link(in, folder / "hard-link");
        for (const choice& row : choices)
            if (std::string(row.name).starts_with("name_")) write_file(folder / row.input, original);
    }
};

TEST_P(HostileChoice, KeepsThePromise) {
    const choice& chosen = GetParam();
    if (chosen.as_nobody && !other_user_available()) GTEST_SKIP() << "needs another user: " << why_no_other_user();
    if (std::string(chosen.output ? chosen.output : "") == "null-device" && !fs::exists(folder / "null-device"))
        GTEST_SKIP() << "only root may make the device node this row needs";
    const fs::path source = chosen.input ? folder / chosen.input : fs::path();
    if (chosen.input && chosen.input[0] == '/' && !fs::exists(source)) GTEST_SKIP() << source << " does not exist here";
    const fs::path target = folder / (chosen.output ? chosen.output : "out.bin");
    const answers script{chosen.input ? std::optional(source) : std::nullopt,
                         chosen.output ? std::optional(target) : std::nullopt};
    const channel holds, release;  // another process holds the input until told
    const pid_t holding = chosen.held == holder::none ? -1 : start_child([&] {
        const int held = open(source.c_str(), chosen.held == holder::writing ? O_WRONLY | O_APPEND : O_RDONLY);
        const bool locked = chosen.held != holder::locking || flock(held, LOCK_EX) == 0;
        return held >= 0 && locked && holds.send() && release.wait() ? 0 : 1;
    });
    ASSERT_TRUE(holding < 0 || holds.wait());
    int opens = 0;  // of the file looked at: never of a device, FIFO or folder
    hooks.before_reopen = [&] { ++opens; };
    constexpr auto unnamed = output_naming::unnamed_until_finished;
    expect_run(script, chosen.expected == refused_input ? asked{input} : asked{input, output}, target,
               chosen.expected == processed ? &expected : nullptr, unnamed, chosen.as_nobody);
    struct stat info {};
    EXPECT_TRUE(stat(source.c_str(), &info) != 0 || S_ISREG(info.st_mode) || opens == 0) << source << " was opened";
    if (holding < 0) return;
    EXPECT_TRUE(release.send());
    EXPECT_EQ(wait_child(holding), 0);
    expect_run(script, asked{input, output}, target, &expected, unnamed, chosen.as_nobody);
}

INSTANTIATE_TEST_SUITE_P(Layer, HostileChoice, ::testing::ValuesIn(choices),
                         [](const auto& row) { return std::string(row.param.name); });

using HostileInput = run_fixture;

// Between the look at the chosen name and the open, the name is moved away and a FIFO or a link to
// a device put in its place: the run opens the file it looked at, and processes it whole.
TEST_F(HostileInput, NameSwappedAfterTheLookIsNotOpened) {
    const fs::path moved = in.string() + ".moved";
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "a FIFO" : "a link to /dev/zero");
        hooks.before_reopen = [&] {
            fs::rename(in, moved);
            EXPECT_EQ(fifo ? mkfifo(in.c_str(), 0600) : symlink("/dev/zero", in.c_str()), 0);
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
