// Two runs at once, each in its own process on the real file layer, lined up with pipes so that
// they reach the contested step together: taking the same input, or giving the same name to their
// finished outputs. The one that gets there first is then held just past that step until the other
// has finished, so the other meets the first one's lock, or its file under the name.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

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
// ends after the open dialog, even though the first has not yet read a byte. The other's attempt
// to open the input, failing at once, still begins a break of the first one's lease when it
// comes after the lease was taken (the kernel does that for any open); the first then writes
// nothing either. Never is more than one output made, nor a partial one.
TEST_F(Concurrency, TwoRunsOnTheSameInputProcessItAtMostOnce) {
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
        const int ended = wait_child(winner_pid);
        EXPECT_TRUE(ended == both_dialogs || ended == open_dialog_only) << ended;

        const fs::path made = folder / (winner == first ? "out-A" : "out-B");
        expect_promise_kept(before, folder.path(), made, ended == both_dialogs ? &whole : nullptr);
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


// An input that another process has open, for reading or for writing, is in use: the run does not
// process it, as on Windows, where the input is opened with no sharing. Once that process has
// closed it, the same file is processed.
class InputInUse : public ::testing::Test {
protected:
    temporary_folder folder;
    const fs::path in = folder / "in.bin";
    const fs::path out = folder / "out.bin";
    const bytes original = random_bytes(200'003, 47);

    void SetUp() override { write_file(in, original); }
};

// A process that opens the file as flags says, says so on ready, and keeps it open until the test
// closes its end of the go pipe.
pid_t start_holder(const fs::path& file, int flags, int ready, const int go[2]) {
    const int go_read = go[0], go_write = go[1];
    return start_child([=] {
        close(go_write);
        const int held = open(file.c_str(), flags);
        if (held < 0 || write(ready, "h", 1) != 1) return 1;
        char byte = 0;
        while (read(go_read, &byte, 1) > 0) {
        }
        return 0;
    });
}

TEST_F(InputInUse, InputOpenInAnotherProcessIsNotProcessedUntilClosed) {
    for (int flags : {O_WRONLY | O_APPEND, O_RDONLY}) {
        SCOPED_TRACE(flags == O_RDONLY ? "held open for reading" : "held open for writing");
        int ready[2], go[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(go), 0);
        const pid_t holder = start_holder(in, flags, ready[1], go);
        close(go[0]);
        char byte = 0;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);

        const snapshot before = take_snapshot(folder.path());
        EXPECT_EQ(run_with({in, out}), asked{input});
        expect_promise_kept(before, folder.path(), out, nullptr);

        close(go[1]);
        EXPECT_EQ(wait_child(holder), 0);
        close(ready[0]);
        close(ready[1]);
        const bytes expected = encrypted_by_blocks(original);
        EXPECT_EQ(run_with({in, out}), (asked{input, output}));
        expect_promise_kept(before, folder.path(), out, &expected);
        fs::remove(out);
    }
}

// Reads part of the input, tells the test, and goes on only when the test says so.
struct pauses_while_reading : posix_platform {
    using posix_platform::posix_platform;
    static inline int told = -1;
    static inline int resume = -1;
    bool paused = false;
    bool read_some(std::uint8_t* at, std::uint32_t want, std::uint32_t& got) {
        if (paused) return posix_platform::read_some(at, want, got);
        paused = true;
        char byte = 0;
        const bool read = posix_platform::read_some(at, want / 2, got);
        return read && write(told, "r", 1) == 1 && ::read(resume, &byte, 1) == 1;
    }
};

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
// change. The other process then finds the file as it was, and a writer changes it.
TEST_F(InputInUse, AnotherOpenDuringTheReadLeavesNoOutput) {
    for (int flags : {O_RDWR, O_RDONLY}) {
        SCOPED_TRACE(flags == O_RDONLY ? "opened for reading" : "opened for writing");
        write_file(in, original);
        int told[2], resume[2], opened[2];
        ASSERT_EQ(pipe(told), 0);
        ASSERT_EQ(pipe(resume), 0);
        ASSERT_EQ(pipe(opened), 0);
        pauses_while_reading::told = told[1];
        pauses_while_reading::resume = resume[0];
        const pid_t run = start_child([&] {
            alarm(60);
            return run_with<pauses_while_reading>({in, out}) == asked{input} ? 0 : 1;
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
        EXPECT_EQ(wait_child(run), 0) << "the run did not end after the open dialog (1), or ended by a signal";
        EXPECT_EQ(wait_child(opener), 0) << "the other process did not find the input as it was";
        for (int* ends : {told, resume, opened}) {
            close(ends[0]);
            close(ends[1]);
        }
        EXPECT_FALSE(fs::exists(out)) << "the run wrote an output";
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);
    }
}

}  // namespace
