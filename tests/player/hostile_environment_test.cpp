// The player run where its surroundings are unfriendly: output nobody can
// take, a reader who leaves, no standard input, arguments of every odd kind.
// Each run is set beside a plain run of the same drive.
#include <signal.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_run.h"

namespace {

struct Outcome {
    Exit exit;
    std::vector<std::string> calls; // "<virtual ms> <call> = <result>"; output offsets left out
    long pipe_reads = -1;           // what the reader of a pipe asked for
};

Outcome run(const std::string &script, void (*set_up)(Spawn &) = nullptr)
{
    Spawn spawn;
    spawn.argv = {TBX_SCRIPTED};
    spawn.timeout_s = 20;
    if (set_up != nullptr)
        set_up(spawn);

    Outcome r;
    const DriveRun d = run_on_drive(spawn, script);
    r.exit = d.exit;
    r.pipe_reads = spawn.pipe_reads;
    for (const DriveCall &c : d.calls)
        r.calls.push_back(c.timed());
    return r;
}

// Three tracks, the middle one refused: a warning as well as track lines.
const std::string kDisc = "tracks 450 75 300\nfail 1\n";

// 99 refused tracks write about 9 KB, more than the pipe holds.
std::string long_disc()
{
    std::string tracks = "tracks", fail = "fail";
    for (int i = 0; i < 99; ++i) {
        tracks += " 75";
        fail += " " + std::to_string(i);
    }
    return tracks + "\n" + fail + "\n";
}

std::vector<std::string> odd_arguments()
{
    const std::vector<std::string> kinds = {
        "%s%s%s%s%s", "%n%n%n", "%x %p %d", "%99999999d", "%", "", " ", "-", "--", "-h", "--help", "-v",
        "--version", "\xff\xfe\xfd", "\xc3\x28", "caf\xc3", "\n", "\t\r", "\x1b[2J", "/dev/cdrom", "-1",
        "2147483648", "tbx: No CD in drive"};
    std::vector<std::string> args = {TBX_SCRIPTED};
    for (int round = 0; round < 12; ++round)
        args.insert(args.end(), kinds.begin(), kinds.end());
    args.push_back(std::string(100000, 'A'));
    args.push_back(std::string(20000, '%') + "n");
    args.push_back(std::string(20000, '\xff'));
    return args;
}

enum class Expect {
    Unchanged,    // the same output, calls and status as the plain run
    OutputLost,   // the same calls and status; what was printed went nowhere
    KilledByPipe, // SIGPIPE ends it part-way: the first calls of the plain run, no more
};

struct Scenario {
    const char *name;
    std::string script;
    void (*set_up)(Spawn &);
    Expect expect;
};

std::ostream &operator<<(std::ostream &os, const Scenario &s) { return os << s.name; }

const Scenario kScenarios[] = {
    {"stdout_full", kDisc, [](Spawn &s) { s.stdout_path = "/dev/full"; }, Expect::OutputLost},
    {"stdout_full_at_a_fatal_error", "no drive\n", [](Spawn &s) { s.stdout_path = "/dev/full"; },
     Expect::OutputLost},
    {"stdout_full_when_the_disc_goes", kDisc + "eject after 5\n", [](Spawn &s) { s.stdout_path = "/dev/full"; },
     Expect::OutputLost},
    {"stdout_pipe_read_to_the_end", kDisc, [](Spawn &s) { s.pipe_reads = 1L << 20; }, Expect::Unchanged},
    {"stdout_pipe_closed_before_the_start", kDisc, [](Spawn &s) { s.pipe_reads = 0; }, Expect::KilledByPipe},
    {"stdout_pipe_closed_after_100_bytes", long_disc(), [](Spawn &s) { s.pipe_reads = 100; }, Expect::KilledByPipe},
    {"stdout_pipe_closed_after_the_first_track_lines", long_disc(), [](Spawn &s) { s.pipe_reads = 500; },
     Expect::KilledByPipe},
    {"fatal_message_into_a_closed_pipe", "no drive\n", [](Spawn &s) { s.pipe_reads = 0; }, Expect::KilledByPipe},
    {"stdin_closed", kDisc, [](Spawn &s) { s.close_stdin = true; }, Expect::Unchanged},
    {"stdin_closed_at_a_fatal_error", "tray empty\n", [](Spawn &s) { s.close_stdin = true; }, Expect::Unchanged},
    {"hundreds_of_odd_arguments", kDisc, [](Spawn &s) { s.argv = odd_arguments(); }, Expect::Unchanged},
    {"odd_arguments_at_a_fatal_error", "no drive\n", [](Spawn &s) { s.argv = odd_arguments(); }, Expect::Unchanged},
};

class Hostile : public ::testing::TestWithParam<Scenario> {};

TEST_P(Hostile, RunGoesOnAsDocumented)
{
    const Scenario &s = GetParam();
    const Outcome plain = run(s.script);
    const Outcome r = run(s.script, s.set_up);
    EXPECT_EQ(r.exit.err, "");
    switch (s.expect) {
    case Expect::Unchanged:
        EXPECT_EQ(r.exit.out, plain.exit.out);
        [[fallthrough]];
    case Expect::OutputLost:
        EXPECT_EQ(r.exit.status, plain.exit.status);
        EXPECT_EQ(r.calls, plain.calls);
        break;
    case Expect::KilledByPipe:
        EXPECT_EQ(r.exit.status, 1000 + SIGPIPE);
        EXPECT_EQ(r.exit.out, plain.exit.out.substr(0, static_cast<size_t>(r.pipe_reads)));
        ASSERT_LT(r.calls.size(), plain.calls.size());
        EXPECT_EQ(r.calls, std::vector<std::string>(plain.calls.begin(), plain.calls.begin() + r.calls.size()));
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Player, Hostile, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario> &info) { return std::string(info.param.name); });

} // namespace
