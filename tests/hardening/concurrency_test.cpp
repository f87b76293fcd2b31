// Two runs at once, each in its own process on the real file layer, lined up with pipes so that
// they reach the contested step together: taking the same input, or giving the same name to their
// finished outputs. The one that gets there first is then held just past that step until the other
// has finished, so the other meets the first one's lock, or its file under the name.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "run_test_support.h"

namespace {

using namespace run_test;

// What the runs race for: the same input; the same output name for their unnamed outputs; or the
// same name for outputs named at once, made together.
enum class contested { input, output, output_named_at_once };
constexpr const char* race_names[] = {"input", "output", "output named at once"};

// The ids of the two runs, as each reports them (plus 1 when its step succeeded).
constexpr char first = 2;
constexpr char second = 4;

class Concurrency : public run_fixture {
protected:
    // Pipes shared by the test and both children.
    struct {
        int start[2][2];  // for each child, one byte releases it into the next lined-up step
        int report[2];    // each child writes its id, plus 1 if the step succeeded
        int resume[2];    // one byte lets the child that succeeded go on
    } pipes{};

    void SetUp() override {
        run_fixture::SetUp();
        for (int* ends : {pipes.start[0], pipes.start[1], pipes.report, pipes.resume}) ASSERT_EQ(pipe(ends), 0);
    }
    void TearDown() override {
        for (int* ends : {pipes.start[0], pipes.start[1], pipes.report, pipes.resume}) {
            close(ends[0]);
            close(ends[1]);
        }
        run_fixture::TearDown();
    }

    // A step the run waits at its start line for, takes, reports on, and, if it succeeded and hold
    // is set, holds until the test says go.
    std::function<bool(posix_platform&)> lined_up(char id, bool (posix_platform::*take)(), bool hold) {
        return [=, this](posix_platform& os) {
            char byte = 0;
            if (read(pipes.start[id == first ? 0 : 1][0], &byte, 1) != 1) return false;
            const bool taken = (os.*take)();
            const char outcome = static_cast<char>(id + (taken ? 1 : 0));
            if (write(pipes.report[1], &outcome, 1) != 1) return false;
            return !(hold && taken && read(pipes.resume[0], &byte, 1) != 1) && taken;
        };
    }

    // A child running one whole run, lined up at the contested step. Racing to name unnamed outputs,
    // both runs also line up to create them, so that both have passed the check for an existing
    // name; making named outputs at once, the winner is held just past making its own. It exits with 1 when only the open dialog was shown, 2 when both were,
    // 3 otherwise. An alarm ends it should the line-up ever jam.
    pid_t start_run(char id, answers script, contested step) {
        return start_child([=, this] {
            alarm(60);
            if (step == contested::input) {
                hooks.open_input = lined_up(id, &posix_platform::open_input, true);
            } else if (step == contested::output) {
                hooks.create_output = lined_up(id, &posix_platform::create_output, false);
                hooks.finish_output = lined_up(id, &posix_platform::finish_output, true);
            } else {
                hooks.create_output = lined_up(id, &posix_platform::create_output, true);
            }
            const asked questions = run(script, step == contested::output_named_at_once ? output_naming::named_at_once
                                                                                         : output_naming::unnamed_until_finished);
            return questions == asked{input} ? 1 : questions == asked{input, output} ? 2 : 3;
        });
    }

    // Releases both children into a step; returns how many succeeded and, if one did, its id.
    int release_both(char& succeeded) {
        EXPECT_EQ(write(pipes.start[0][1], "g", 1), 1);
        EXPECT_EQ(write(pipes.start[1][1], "g", 1), 1);
        char outcomes[2] = {};
        for (char& outcome : outcomes) EXPECT_EQ(read(pipes.report[0], &outcome, 1), 1);
        succeeded = static_cast<char>((outcomes[0] & 1) ? outcomes[0] - 1 : outcomes[1] - 1);
        return (outcomes[0] & 1) + (outcomes[1] & 1);
    }
};

constexpr int open_dialog_only = 1;
constexpr int both_dialogs = 2;

// Two runs lined up at the contested step, in five rounds; exactly one wins the step.
// - Both choose the same input: the other cannot take its lock and ends after the open dialog,
//   even though the first has not yet read a byte. The other's attempt to open the input, failing
//   at once, still begins a break of the first one's lease when it comes after the lease was taken
//   (the kernel does that for any open); the first then writes nothing either. Never is more than
//   one output made, nor a partial one.
// - Two runs of different inputs choose the same new output name, and both have written their
//   whole output when they come to name it, or both make it at once: exactly one gets the name,
//   and the other, failing, leaves the first one's file alone and removes nothing.
TEST_F(Concurrency, TwoRunsContestingAnInputOrAnOutputNameMakeAtMostOneWholeOutput) {
    write_file(folder / "in-A", random_bytes(50'003, 37));
    write_file(folder / "in-B", random_bytes(60'005, 41));
    // Read now: while a run holds its input, this process's open would wait for the run.
    const std::map<std::string, bytes> wholes{{"in-A", encrypted_by_blocks(read_file(folder / "in-A"))},
                                              {"in-B", encrypted_by_blocks(read_file(folder / "in-B"))}};
    const snapshot before = take_snapshot(folder);
    const struct {
        contested step;
        const char* inputs[2];
        const char* outputs[2];
    } races[] = {{contested::input, {"in-A", "in-A"}, {"out-A", "out-B"}},
                 {contested::output, {"in-A", "in-B"}, {"out", "out"}},
                 {contested::output_named_at_once, {"in-A", "in-B"}, {"out", "out"}}};
    for (const auto& race : races) {
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE(std::string(race_names[static_cast<int>(race.step)]) + ", round " + std::to_string(round));
            const pid_t runs[] = {start_run(first, {folder / race.inputs[0], folder / race.outputs[0]}, race.step),
                                  start_run(second, {folder / race.inputs[1], folder / race.outputs[1]}, race.step)};
            char winner_id = 0;
            if (race.step == contested::output) {
                EXPECT_EQ(release_both(winner_id), 2) << "both runs must be able to start an unnamed output";
            }
            ASSERT_EQ(release_both(winner_id), 1) << "exactly one run must win the step";
            const int winner = winner_id == first ? 0 : 1;
            const fs::path made = folder / race.outputs[winner];
            const bytes& whole = wholes.at(race.inputs[winner]);
            EXPECT_EQ(wait_child(runs[1 - winner]), race.step == contested::input ? open_dialog_only : both_dialogs);
            if (race.step != contested::input) {
                ASSERT_TRUE(fs::exists(made)) << "the losing run removed the winner's file";
                EXPECT_TRUE(race.step != contested::output || read_file(made) == whole);
            }
            EXPECT_EQ(write(pipes.resume[1], "g", 1), 1);  // the winner goes on
            const int ended = wait_child(runs[winner]);
            EXPECT_TRUE(ended == both_dialogs || (race.step == contested::input && ended == open_dialog_only)) << ended;
            expect_promise_kept(before, folder, made, ended == both_dialogs ? &whole : nullptr);
            fs::remove(made);
        }
    }
}

// An input that another process holds, open for reading or for writing, or locked, is in use: the
// run does not process it, as on Windows, where the input is opened with no sharing. Once that
// process has closed it, the same file is processed. Run as nobody on another user's file, which
// gets no lease, the run has only the lock to go by.
using InputInUse = Concurrency;

TEST_F(InputInUse, InputOpenInAnotherProcessIsNotProcessedUntilClosed) {
    const struct {
        const char* name;
        int flags;
        bool locked;
        bool as_nobody;
    } holders[] = {{"open for writing", O_WRONLY | O_APPEND, false, false}, {"open for reading", O_RDONLY, false, false},
                   {"locked", O_RDONLY, true, false}, {"locked, run as nobody", O_RDONLY, true, true}};
    for (const auto& holder : holders) {
        SCOPED_TRACE(holder.name);
        if (holder.as_nobody) {  // root's file, writable by nobody's group, in a folder nobody may write
            ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
            ASSERT_EQ(chown(in.c_str(), 0, nobody().pw_gid), 0);
            ASSERT_EQ(chmod(in.c_str(), 0660), 0);
        }
        constexpr auto naming = output_naming::unnamed_until_finished;
        // Opens the file, reports, and keeps it until the test says go.
        const pid_t holding = start_child([&] {
            const int held = open(in.c_str(), holder.flags);
            char byte = 0;
            return held >= 0 && (!holder.locked || flock(held, LOCK_EX) == 0) && write(pipes.report[1], "h", 1) == 1 &&
                           read(pipes.resume[0], &byte, 1) == 1
                       ? 0
                       : 1;
        });
        char byte = 0;
        ASSERT_EQ(read(pipes.report[0], &byte, 1), 1);
        expect_run({in, out}, asked{input}, out, nullptr, naming, holder.as_nobody);
        EXPECT_EQ(write(pipes.resume[1], "g", 1), 1);
        EXPECT_EQ(wait_child(holding), 0);
        expect_run({in, out}, asked{input, output}, out, &expected, naming, holder.as_nobody);
        fs::remove(out);
    }
}

// Whether /proc/locks shows process opener waiting for a lease to be given up.
bool waits_for_lease(pid_t opener) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, arrow, kind, state, type;
        pid_t holder = 0;
        if (fields >> number >> arrow >> kind >> state >> type >> holder && arrow == "->" && kind == "LEASE" &&
            holder == opener)
            return true;
    }
    return false;
}

// Another process opens the input while the run reads it, for writing or for reading. Its open
// waits while the run holds the input; the run, noticing that its lease is being broken, gives
// the input up at once and writes nothing, since it cannot know what the other process will
// change. The other process then finds the file as it was, and a writer changes it. The run reads
// part of the input, tells the test, and goes on only when the test says so.
TEST_F(InputInUse, AnotherOpenDuringTheReadLeavesNoOutput) {
    for (int flags : {O_RDWR, O_RDONLY}) {
        SCOPED_TRACE(flags == O_RDONLY ? "opened for reading" : "opened for writing");
        write_file(in, original);
        const int told[] = {pipes.report[0], pipes.report[1]}, resume[] = {pipes.resume[0], pipes.resume[1]};
        const int opened[] = {pipes.start[0][0], pipes.start[0][1]};
        hooks.read_some = [&, paused = false](posix_platform& os, std::uint8_t* at, std::uint32_t want,
                                              std::uint32_t& got) mutable {
            if (paused) return os.read_some(at, want, got);
            paused = true;
            char byte = 0;
            return os.read_some(at, want / 2, got) && write(told[1], "r", 1) == 1 && read(resume[0], &byte, 1) == 1;
        };
        const pid_t reader = start_child([&] {
            alarm(60);
            return run({in, out}) == asked{input} ? 0 : 1;
        });
        char byte = 0;
        ASSERT_EQ(read(told[0], &byte, 1), 1);

        const pid_t opener = start_child([&] {
            alarm(60);
            const int file = open(in.c_str(), flags);
            if (file < 0 || write(opened[1], "o", 1) != 1) return 1;
            bytes seen(original.size() + 1);
            const ssize_t got = pread(file, seen.data(), seen.size(), 0);
            seen.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
            if (seen != original) return 2;
            return flags == O_RDONLY || pwrite(file, "BBBBBBBB", 8, 0) == 8 ? 0 : 3;
        });
        bool waiting = false;
        for (int poll = 0; poll < 3000 && !waiting; ++poll) {
            waiting = waits_for_lease(opener);
            if (!waiting) usleep(10'000);
        }
        EXPECT_TRUE(waiting) << "the other process's open did not wait for the run";
        pollfd early{opened[0], POLLIN, 0};
        EXPECT_EQ(poll(&early, 1, 0), 0) << "the other process opened the input while the run held it";

        EXPECT_EQ(write(resume[1], "g", 1), 1);
        EXPECT_EQ(wait_child(reader), 0) << "the run did not end after the open dialog (1), or ended by a signal";
        EXPECT_EQ(wait_child(opener), 0) << "the other process did not find the input as it was";
        EXPECT_EQ(read(opened[0], &byte, 1), 1);
        EXPECT_FALSE(fs::exists(out)) << "the run wrote an output";
    }
}

}  // namespace
