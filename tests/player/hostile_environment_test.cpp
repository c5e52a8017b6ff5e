// The player run where its surroundings are unfriendly: output nobody can
// take, a reader who leaves, no standard input, arguments of every odd kind.
// Each run is set beside a plain run of the same drive.
#include <signal.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_run.h"
#include "test_names.h"

namespace {

DriveRun run(const std::string &script, void (*set_up)(Spawn &) = nullptr)
{
    Spawn spawn;
    spawn.argv = {TBX_SCRIPTED};
    spawn.timeout_s = 20;
    if (set_up != nullptr)
        set_up(spawn);
    return run_on_drive(spawn, script);
}

// Three tracks, the middle one refused: a warning as well as track lines.
const std::string kDisc = kThreeTracks + "fail 1\n";

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

const Scenario kScenarios[] = {
    {"stdout_full", kDisc, [](Spawn &s) { s.stdout_path = "/dev/full"; }, Expect::OutputLost},
    {"stdout_full_at_a_fatal_error", "no drive\n", [](Spawn &s) { s.stdout_path = "/dev/full"; },
     Expect::OutputLost},
    {"stdout_full_when_the_disc_goes", kDisc + "eject after SDL_CDStatus 5\n", [](Spawn &s) { s.stdout_path = "/dev/full"; },
     Expect::OutputLost},
    {"stdout_pipe_read_to_the_end", kDisc, [](Spawn &s) { s.pipe_reader_takes = 1L << 20; }, Expect::Unchanged},
    {"stdout_pipe_closed_before_the_start", kDisc, [](Spawn &s) { s.pipe_reader_takes = 0; }, Expect::KilledByPipe},
    {"stdout_pipe_closed_after_100_bytes", long_disc(), [](Spawn &s) { s.pipe_reader_takes = 100; }, Expect::KilledByPipe},
    {"stdout_pipe_closed_after_the_first_track_lines", long_disc(), [](Spawn &s) { s.pipe_reader_takes = 500; },
     Expect::KilledByPipe},
    {"fatal_message_into_a_closed_pipe", "no drive\n", [](Spawn &s) { s.pipe_reader_takes = 0; }, Expect::KilledByPipe},
    {"stdin_closed", kDisc, [](Spawn &s) { s.close_stdin = true; }, Expect::Unchanged},
    {"stdin_closed_at_a_fatal_error", "tray empty\n", [](Spawn &s) { s.close_stdin = true; }, Expect::Unchanged},
    {"hundreds_of_odd_arguments", kDisc, [](Spawn &s) { s.argv = odd_arguments(); }, Expect::Unchanged},
    {"odd_arguments_at_a_fatal_error", "no drive\n", [](Spawn &s) { s.argv = odd_arguments(); }, Expect::Unchanged},
};

class Hostile : public ::testing::TestWithParam<Scenario> {};

TEST_P(Hostile, RunGoesOnAsDocumented)
{
    const Scenario &s = GetParam();
    const DriveRun plain = run(s.script);
    const DriveRun r = run(s.script, s.set_up);
    // How much output was flushed is left out: output that goes nowhere changes it.
    const std::vector<std::string> calls = r.timed(), plain_calls = plain.timed();
    EXPECT_EQ(r.err, "");
    switch (s.expect) {
    case Expect::Unchanged:
        EXPECT_EQ(r.out, plain.out);
        [[fallthrough]];
    case Expect::OutputLost:
        EXPECT_EQ(r.status, plain.status);
        EXPECT_EQ(calls, plain_calls);
        break;
    case Expect::KilledByPipe:
        EXPECT_EQ(r.status, 1000 + SIGPIPE);
        Spawn asked;
        s.set_up(asked);
        EXPECT_EQ(r.out, plain.out.substr(0, static_cast<size_t>(*asked.pipe_reader_takes)));
        ASSERT_LT(calls.size(), plain_calls.size());
        EXPECT_EQ(calls, std::vector<std::string>(plain_calls.begin(), plain_calls.begin() + calls.size()));
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Player, Hostile, ::testing::ValuesIn(kScenarios), ByName());

} // namespace
