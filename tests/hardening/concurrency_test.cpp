// Runs against other processes on the real file layer, lined up with pipes: two runs reaching a
// contested step together, the winner held just past it until the other has finished; and another
// process opening the input while the run reads it.
#include <fcntl.h>
#include <poll.h>

#include "../run_test_support.h"

namespace {

using namespace run_test;

// The same input; the same name for their unnamed outputs; the same name for outputs named at once.
enum class contested { input, output, output_named_at_once };

constexpr char first = 2, second = 4;               // the ids of the two runs, as each reports them
constexpr int open_dialog_only = 1, both_dialogs = 2;  // a run's exit code: the dialogs it showed

class Concurrency : public run_fixture {
protected:
    channel start[2];  // for each run, a byte releases it into the next lined-up step
    channel report;    // from each run its id, plus 1 if the step succeeded
    channel resume;    // a byte lets the run that succeeded go on

    // A step the run waits at its start line for, takes, reports on, and, if taken, holds if told to.
    std::function<bool(linux_platform&)> lined_up(char id, bool (linux_platform::*take)(), bool hold) {
        return [=, this](linux_platform& os) {
            if (!start[id == first ? 0 : 1].wait()) return false;
            const bool taken = (os.*take)();
            return report.send(static_cast<char>(id + (taken ? 1 : 0))) && !(hold && taken && !resume.wait()) && taken;
        };
    }

    // A child making one whole run lined up at the step. Racing to name unnamed outputs, both also
    // line up to create them, so that both have passed the check for the name.
    pid_t start_run(char id, answers script, contested step) {
        return start_child([=, this] {
            if (step == contested::input) {
                hooks.open_input = lined_up(id, &linux_platform::open_input, true);
            } else {
                hooks.create_output = lined_up(id, &linux_platform::create_output, step != contested::output);
                if (step == contested::output) hooks.finish_output = lined_up(id, &linux_platform::finish_output, true);
            }
            const auto naming = step == contested::output_named_at_once ? output_naming::named_at_once
                                                                          : output_naming::unnamed_until_finished;
            return static_cast<int>(run(script, naming).size());
        });
    }

    // Releases both runs into a step; returns how many succeeded and, if one did, its id.
    int release_both(char& succeeded) {
        EXPECT_TRUE(start[0].send() && start[1].send());
        char outcomes[2] = {};
        for (char& outcome : outcomes) EXPECT_NE(outcome = report.wait(), 0);
        succeeded = static_cast<char>((outcomes[0] & 1) ? outcomes[0] - 1 : outcomes[1] - 1);
        return (outcomes[0] & 1) + (outcomes[1] & 1);
    }
};

// Two runs lined up at the contested step, in five rounds; exactly one wins it. The same input: the
// loser cannot take its lock and ends after the open dialog; its open breaks the winner's lease if
// it came after it, and the winner, reading well before the kernel would let another open through,
// still writes. The same new output name: exactly one gets it, and the loser leaves the winner's
// file alone. Never is a partial output made.
TEST_F(Concurrency, TwoRunsContestingAnInputOrAnOutputNameMakeAtMostOneWholeOutput) {
    const std::map<std::string, bytes> plains{{"in-A", random_bytes(50'003, 37)}, {"in-B", random_bytes(60'005, 41)}};
    for (const auto& [name, plain] : plains) write_file(folder / name, plain);
    const snapshot before = take_snapshot(folder);
    const struct {
        const char* name;
        contested step;
        const char* inputs[2];
        const char* outputs[2];
    } races[] = {{"input", contested::input, {"in-A", "in-A"}, {"out-A", "out-B"}},
                 {"output", contested::output, {"in-A", "in-B"}, {"out", "out"}},
                 {"output named at once", contested::output_named_at_once, {"in-A", "in-B"}, {"out", "out"}}};
    for (const auto& race : races) {
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE(std::string(race.name) + ", round " + std::to_string(round));
            const pid_t runs[] = {start_run(first, {folder / race.inputs[0], folder / race.outputs[0]}, race.step),
                                  start_run(second, {folder / race.inputs[1], folder / race.outputs[1]}, race.step)};
            char winner_id = 0;
            EXPECT_TRUE(race.step != contested::output || release_both(winner_id) == 2)
                << "both runs must be able to start an unnamed output";
            ASSERT_EQ(release_both(winner_id), 1) << "exactly one run must win the step";
            const int winner = winner_id == first ? 0 : 1;
            const fs::path made = folder / race.outputs[winner];
            const bytes whole = encrypted_by_blocks(plains.at(race.inputs[winner]));
            EXPECT_EQ(wait_child(runs[1 - winner]), race.step == contested::input ? open_dialog_only : both_dialogs);
            if (race.step != contested::input) {
                ASSERT_TRUE(fs::exists(made)) << "the losing run removed the winner's file";
                EXPECT_TRUE(race.step != contested::output || read_file(made) == whole);
            }
            EXPECT_TRUE(resume.send());  // the winner goes on
            const int ended = wait_child(runs[winner]);
            EXPECT_EQ(ended, both_dialogs);
            expect_promise_kept(before, folder, made, ended == both_dialogs ? &whole : nullptr);
            fs::remove(made);
        }
    }
}

using InputInUse = Concurrency;

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

// Another process opens the input while the run (paused in its read) holds it: the open waits
// until the run has read the whole input and closed it, and the run writes the input as it was
// before that open. The other process then reads the input as it was, or changes it. Past the
// moment the kernel would let the other open through (here with a break time of 2 s, so 1 s after
// the lease was last seen whole), the run gives the input up and writes nothing.
TEST_F(InputInUse, AnotherOpenWaitsForTheWholeRead) {
    channel& opened = start[0];
    const struct {
        const char* name;
        int flags;
        int break_seconds;  // 0: the kernel's own
        bool written;
    } rows[] = {{"opened for reading", O_RDONLY, 0, true},
                {"opened for writing", O_RDWR, 0, true},
                {"opened for writing past the deadline", O_RDWR, 2, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        write_file(in, original);
        hooks.lease_break_time = row.break_seconds;
        hooks.read_some = [&, paused = false](linux_platform& os, std::uint8_t* at, std::uint32_t want,
                                              std::uint32_t& got) mutable {
            if (paused) return os.read_some(at, want, got);
            paused = true;
            return report.send() && resume.wait() && os.read_some(at, want / 2, got);
        };
        const pid_t runner = start_child([&] { return static_cast<int>(run({in, out}).size()); });
        ASSERT_TRUE(report.wait());
        const pid_t opener = start_child([&] {
            const int file = open(in.c_str(), row.flags);
            if (file < 0 || !opened.send()) return 1;
            if (read_file(in) != original) return 2;
            return row.flags == O_RDONLY || pwrite(file, "BBBBBBBB", 8, 0) == 8 ? 0 : 3;
        });
        bool waiting = false;
        for (int tries = 0; tries < 3000 && !(waiting = waits_for_lease(opener)); ++tries) usleep(10'000);
        EXPECT_TRUE(waiting) << "the other process's open did not wait for the run";
        if (!row.written) usleep(1'500'000);
        pollfd early{opened.ends[0], POLLIN, 0};
        EXPECT_EQ(poll(&early, 1, 0), 0) << "the other process opened the input while the run held it";
        EXPECT_TRUE(resume.send());
        EXPECT_EQ(wait_child(runner), row.written ? both_dialogs : open_dialog_only);
        EXPECT_EQ(wait_child(opener), 0) << "the other process did not find the input as it was";
        EXPECT_TRUE(opened.wait());
        bytes changed = original;
        if (row.flags == O_RDWR) std::fill_n(changed.begin(), 8, 'B');
        EXPECT_EQ(read_file(in), changed);
        EXPECT_EQ(fs::exists(out), row.written);
        EXPECT_TRUE(!row.written || read_file(out) == expected) << "the output is not the input as it was, encrypted";
        fs::remove(out);
    }
}

}  // namespace
