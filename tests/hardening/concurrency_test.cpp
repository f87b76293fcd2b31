// Two runs at once, each in its own process on the real file layer, lined up with pipes so that
// they reach the contested step together: taking the same input, or giving the same name to their
// finished outputs. The one that gets there first is then held just past that step until the other
// has finished, so the other meets the first one's lock, or its file under the name.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "run_test_support.h"

namespace {

using namespace run_test;
namespace fs = std::filesystem;

enum class contested { input, output };

// The ids of the two runs, as each reports them (plus 1 when its step succeeded).
constexpr char first = 2;
constexpr char second = 4;

// Pipes shared by the test and both children.
struct line_up {
    int start[2][2];  // for each child, one byte releases it into the next lined-up step
    int report[2];  // each child writes its id, plus 1 if the step succeeded
    int resume[2];  // one byte lets the child that succeeded go on
};

// Waits at the start line before the contested step, reports how it went, and if it succeeded
// holds until the test says go. Racing for an output name, both runs also line up to create their
// (still unnamed) outputs, so that both have passed the check for an existing name.
struct lined_up_platform : posix_platform {
    using posix_platform::posix_platform;
    static inline line_up* pipes = nullptr;
    static inline contested step = contested::input;
    static inline char id = 0;

    bool open_input() {
        if (step != contested::input) return posix_platform::open_input();
        return contest([this] { return posix_platform::open_input(); }, true);
    }
    bool create_output() {
        if (step != contested::output) return posix_platform::create_output();
        return contest([this] { return posix_platform::create_output(); }, false);
    }
    bool finish_output() {
        if (step != contested::output) return posix_platform::finish_output();
        return contest([this] { return posix_platform::finish_output(); }, true);
    }

private:
    template <typename Step>
    bool contest(Step take, bool hold) {
        char byte = 0;
        if (read(pipes->start[id == first ? 0 : 1][0], &byte, 1) != 1) return false;
        const bool taken = take();
        const char outcome = static_cast<char>(id + (taken ? 1 : 0));
        if (write(pipes->report[1], &outcome, 1) != 1) return false;
        if (hold && taken && read(pipes->resume[0], &byte, 1) != 1) return false;
        return taken;
    }
};

class Concurrency : public run_fixture {
protected:
    line_up pipes{};

    void SetUp() override {
        run_fixture::SetUp();
        ASSERT_EQ(pipe(pipes.start[0]), 0);
        ASSERT_EQ(pipe(pipes.start[1]), 0);
        ASSERT_EQ(pipe(pipes.report), 0);
        ASSERT_EQ(pipe(pipes.resume), 0);
        lined_up_platform::pipes = &pipes;
    }
    void TearDown() override {
        for (int* ends : {pipes.start[0], pipes.start[1], pipes.report, pipes.resume}) {
            close(ends[0]);
            close(ends[1]);
        }
    }

    // A child running one whole run. It exits with 1 when only the open dialog was shown, 2 when
    // both were, 3 otherwise. An alarm ends it should the line-up ever jam.
    pid_t start_run(char id, answers script) {
        return start_child([=] {
            alarm(60);
            lined_up_platform::id = id;
            const asked questions = run_with<lined_up_platform>(script);
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

    // Releases both children into the contested step, and returns the id of the one whose step
    // succeeded (0 if neither or both did).
    char race() {
        char winner = 0;
        const int succeeded = release_both(winner);
        EXPECT_EQ(succeeded, 1) << "exactly one run must win the step";
        return succeeded == 1 ? winner : 0;
    }

    void let_winner_go() { EXPECT_EQ(write(pipes.resume[1], "g", 1), 1); }
};

constexpr int open_dialog_only = 1;
constexpr int both_dialogs = 2;

// Both choose the same input: one takes its lock and goes on; the other cannot take the lock and
// ends after the open dialog, even though the first has not yet read a byte.
TEST_F(Concurrency, TwoRunsOnTheSameInputProcessItOnce) {
    lined_up_platform::step = contested::input;
    const bytes content = random_bytes(70'001, 31);
    write_file(in, content);
    const bytes whole = encrypted_by_blocks(content);
    const snapshot before = take_snapshot(folder.path());

    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        const pid_t a = start_run(first, {in, folder / "out-A"});
        const pid_t b = start_run(second, {in, folder / "out-B"});
        const char winner = race();
        ASSERT_NE(winner, 0);
        const pid_t loser_pid = winner == first ? b : a;
        const pid_t winner_pid = winner == first ? a : b;
        EXPECT_EQ(wait_child(loser_pid), open_dialog_only);
        let_winner_go();
        EXPECT_EQ(wait_child(winner_pid), both_dialogs);

        const fs::path made = folder / (winner == first ? "out-A" : "out-B");
        expect_promise_kept(before, folder.path(), made, &whole);
        fs::remove(made);
    }
}

// Two runs of different inputs choose the same new output name, and both have written their whole
// output when they come to name it: exactly one gets the name, and the other, failing, leaves the
// first one's file alone and removes nothing.
TEST_F(Concurrency, TwoRunsCreatingTheSameOutputNameMakeOneFile) {
    lined_up_platform::step = contested::output;
    const fs::path in_a = folder / "in-A";
    const fs::path in_b = folder / "in-B";
    write_file(in_a, random_bytes(50'003, 37));
    write_file(in_b, random_bytes(60'005, 41));
    const snapshot before = take_snapshot(folder.path());

    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        const pid_t a = start_run(first, {in_a, out});
        const pid_t b = start_run(second, {in_b, out});
        char ignored = 0;
        EXPECT_EQ(release_both(ignored), 2) << "both runs must be able to start an unnamed output";
        const char winner = race();
        ASSERT_NE(winner, 0);
        const pid_t loser_pid = winner == first ? b : a;
        const pid_t winner_pid = winner == first ? a : b;
        EXPECT_EQ(wait_child(loser_pid), both_dialogs);
        const bytes whole = encrypted_by_blocks(read_file(winner == first ? in_a : in_b));
        ASSERT_TRUE(fs::exists(out)) << "the losing run removed the winner's file";
        EXPECT_TRUE(read_file(out) == whole);
        let_winner_go();
        EXPECT_EQ(wait_child(winner_pid), both_dialogs);

        expect_promise_kept(before, folder.path(), out, &whole);
        fs::remove(out);
    }
}

}  // namespace
