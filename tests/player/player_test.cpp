// The player, run as its own process against the scripted drive: standard
// output byte for byte, standard error, the exit status and every call the
// program made into SDL, with its virtual time and how much output had been
// flushed by then.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_run.h"
#include "output.h"
#include "test_names.h"

namespace {

DriveRun run(const std::string &script, std::vector<std::string> args = {})
{
    args.insert(args.begin(), TBX_SCRIPTED);
    Spawn spawn;
    spawn.argv = args;
    return run_on_drive(spawn, script);
}

// The play commands, as "start,frame,tracks,frames" separated by spaces.
std::string plays(const DriveRun &r)
{
    std::string s;
    for (const std::string &p : r.plays())
        s += (s.empty() ? "" : " ") + p;
    return s;
}

using output::kNoDisc;
using output::kNoDrive;
using output::kNoInit;
using output::kWarning;
using output::track;

std::string header(int tracks, const std::string &name = "/dev/scripted") { return output::header(tracks, name); }

// What every run must show, whatever the drive did.
void check_invariants(const DriveRun &r)
{
    EXPECT_EQ(r.err, "");
    ASSERT_FALSE(r.calls.empty());
    EXPECT_EQ(r.calls.front().name + r.calls.front().arguments, "SDL_Init0x110");
    const bool started = r.calls.front().result == "0";
    // SDL_Quit runs at exit exactly when SDL started, after everything else,
    // and finds every byte already flushed.
    EXPECT_EQ(r.named("SDL_Quit").size(), started ? 1U : 0U);
    if (started) {
        EXPECT_EQ(r.calls.back().name, "SDL_Quit");
        EXPECT_EQ(r.calls.back().flushed, static_cast<long>(r.out.size()));
    }
    // Nothing is printed before the disc is found.
    const std::vector<Call> statuses = r.named("SDL_CDStatus");
    if (!statuses.empty()) {
        EXPECT_EQ(statuses.front().flushed, 0);
    }
    // A track is commanded only once its line has been flushed.
    for (const Call &c : r.named("SDL_CDPlayTracks")) {
        const std::string line = "\tPlaying Track [ " + c.arguments.substr(0, c.arguments.find(',')) + " ]";
        const size_t at = r.out.find(line);
        ASSERT_NE(at, std::string::npos) << c.what();
        EXPECT_EQ(c.flushed, static_cast<long>(r.out.find('\n', at) + 1)) << c.what();
    }
}

struct Scenario {
    const char *name;
    std::string script;
    std::string out;
    int status;
    std::string plays;    // the play commands, in order
    int long_sleeps = -1; // how many 3000 ms polls, where it matters
};

const std::string &t0 = kThreeTrackLines[0], &t1 = kThreeTrackLines[1], &t2 = kThreeTrackLines[2];
const std::string kThreePlays = "0,0,1,0 1,0,1,0 2,0,0,0";

std::string lines(int from, int to, const std::string &length)
{
    std::string s;
    for (int i = from; i <= to; ++i)
        s += track(i, length);
    return s;
}

// A disc of n tracks of the same length.
std::string disc(int n, int frames)
{
    std::string s = "tracks";
    for (int i = 0; i < n; ++i)
        s += " " + std::to_string(frames);
    return s + "\n";
}

std::string whole_disc_plays(int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += (i ? " " : "") + std::to_string(i) + (i == n - 1 ? ",0,0,0" : ",0,1,0");
    return s;
}

const Scenario kScenarios[] = {
    // Failures before the header.
    {"sdl_init_fails", "init fail\ntracks 450\n", kNoInit, 255, ""},
    {"no_drive", "no drive\n", kNoDrive, 255, ""},
    {"empty_tray", "tray empty\ntracks 450\n", kNoDisc, 255, ""},
    {"error_on_first_query", "tracks 450\nerror 1\n", kNoDisc, 255, ""},

    // Whole discs.
    {"three_tracks", kThreeTracks, header(3) + t0 + t1 + t2, 0, kThreePlays, 5},
    {"no_tracks", "tracks\n", header(0), 0, ""},
    {"one_track", "tracks 75\n", header(1) + track(0, "0:1"), 0, "0,0,0,0", 1},
    {"twelve_tracks", disc(12, 75), header(12) + lines(0, 11, "0:1"), 0,
     whole_disc_plays(12), 12},
    {"lengths_truncate_and_are_unpadded", "tracks 13875 4499 13949 74 0 270000 4500000\n",
     header(7) + track(0, "3:5") + track(1, "0:59") + track(2, "3:5") + track(3, "0:0") + track(4, "0:0") +
         track(5, "60:0") + track(6, "1000:0"),
     0, "0,0,1,0 1,0,1,0 2,0,1,0 3,0,1,0 4,0,1,0 5,0,1,0 6,0,0,0"},
    {"drive_without_a_name", "no name\ntracks 75\n", header(1, "") + track(0, "0:1"), 0, "0,0,0,0"},
    {"record_claiming_more_than_sdl_holds", "claim 150\n" + disc(99, 75), header(99) + lines(0, 98, "0:1"), 0, whole_disc_plays(99)},

    // Tracks that will not play.
    {"first_track_fails", kThreeTracks + "fail 0\n", header(3) + t0 + kWarning + t1 + t2, 0, kThreePlays, 3},
    {"middle_track_fails", kThreeTracks + "fail 1\n", header(3) + t0 + t1 + kWarning + t2, 0, kThreePlays, 4},
    {"last_track_fails", kThreeTracks + "fail 2\n", header(3) + t0 + t1 + t2 + kWarning, 0, kThreePlays, 3},
    {"every_track_fails", "tracks 450 75\nfail 0 1\n", header(2) + t0 + kWarning + t1 + kWarning, 0, "0,0,1,0 1,0,0,0",
     0},
    {"data_track_plays_like_any_other", kThreeTracks + "data 1\n", header(3) + t0 + t1 + t2, 0, kThreePlays, 5},
    {"only_minus_one_means_failure", "tracks 450 75\nplayed 1\n", header(2) + t0 + t1, 0, "0,0,1,0 1,0,0,0", 3},
    {"enhanced_cd_refuses_its_data_track", kThreeTracks + "data 2\nfail 2\n", header(3) + t0 + t1 + t2 + kWarning, 0,
     kThreePlays, 3},

    // Drives that do not say they are playing.
    {"drive_never_reports_playing", kThreeTracks + "spinup never\n", header(3) + t0 + t1 + t2, 0, kThreePlays, 0},
    {"slow_spin_up_moves_on_at_once", kThreeTracks + "spinup 200\n", header(3) + t0 + t1 + t2, 0, kThreePlays, 0},
    {"pause_ends_the_wait", "tracks 450 75\npause at 1000\n", header(2) + t0 + t1, 0, "0,0,1,0 1,0,0,0", 2},
    {"error_while_waiting_ends_the_wait", "tracks 450 75\nerror 3\n", header(2) + t0 + t1, 0, "0,0,1,0 1,0,0,0", 1},

    // The disc changing under the player.
    {"table_shrinks_between_tracks", kThreeTracks + "shrink 4 1\n", header(3) + t0, 0, "0,0,1,0", 2},
    {"disc_taken_out_between_tracks", kThreeTracks + "eject after SDL_CDStatus 5\n", header(3) + t0 + t1 + kNoDisc, 255,
     "0,0,1,0", 2},
    {"disc_ejected_during_a_middle_track", kThreeTracks + "eject at 2000\n", header(3) + t0 + t1 + kNoDisc, 255,
     "0,0,1,0", 1},
    {"disc_ejected_during_the_last_track", "tracks 450 75\neject at 7000\n", header(2) + t0 + t1, 0, "0,0,1,0 1,0,0,0",
     3},
};

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, OutputStatusAndCalls)
{
    const Scenario &s = GetParam();
    const DriveRun r = run(s.script);
    EXPECT_EQ(r.out, s.out);
    EXPECT_EQ(r.status, s.status);
    EXPECT_EQ(plays(r), s.plays);
    if (s.long_sleeps >= 0) {
        const std::vector<Call> sleeps = r.named("SDL_Delay");
        EXPECT_EQ(std::count_if(sleeps.begin(), sleeps.end(), [](const Call &c) { return c.arguments == "3000"; }),
                  s.long_sleeps);
    }
    check_invariants(r);
}

INSTANTIATE_TEST_SUITE_P(Player, Scenarios, ::testing::ValuesIn(kScenarios), ByName());

// One disc, every call: the order, the arguments, the virtual time and how
// much had been flushed when the call was made.
TEST(Player, CallsAndTimingOfAWholeDisc)
{
    const DriveRun r = run(kThreeTracks);
    const long l0 = static_cast<long>((header(3) + t0).size());
    const long l1 = l0 + static_cast<long>(t1.size());
    const long l2 = l1 + static_cast<long>(t2.size());
    std::vector<std::string> got;
    for (const Call &c : r.calls)
        got.push_back(std::to_string(c.ms) + " " + std::to_string(c.flushed) + " " + c.what());
    EXPECT_EQ(got, (std::vector<std::string>{
                       "0 0 SDL_Init(0x110) = 0",
                       "0 0 SDL_CDOpen(0) = cd",
                       "0 0 SDL_CDStatus() = 1",
                       "0 0 SDL_CDName(0) = /dev/scripted",
                       "0 " + std::to_string(l0) + " SDL_CDStatus() = 1",
                       "0 " + std::to_string(l0) + " SDL_CDPlayTracks(0,0,1,0) = 0",
                       "0 " + std::to_string(l0) + " SDL_Delay(100)",
                       "100 " + std::to_string(l0) + " SDL_CDStatus() = 2",
                       "100 " + std::to_string(l0) + " SDL_Delay(3000)",
                       "3100 " + std::to_string(l0) + " SDL_CDStatus() = 2",
                       "3100 " + std::to_string(l0) + " SDL_Delay(3000)",
                       "6100 " + std::to_string(l0) + " SDL_CDStatus() = 1",
                       "6100 " + std::to_string(l1) + " SDL_CDStatus() = 1",
                       "6100 " + std::to_string(l1) + " SDL_CDPlayTracks(1,0,1,0) = 0",
                       "6100 " + std::to_string(l1) + " SDL_Delay(100)",
                       "6200 " + std::to_string(l1) + " SDL_CDStatus() = 2",
                       "6200 " + std::to_string(l1) + " SDL_Delay(3000)",
                       "9200 " + std::to_string(l1) + " SDL_CDStatus() = 1",
                       "9200 " + std::to_string(l2) + " SDL_CDStatus() = 1",
                       "9200 " + std::to_string(l2) + " SDL_CDPlayTracks(2,0,0,0) = 0",
                       "9200 " + std::to_string(l2) + " SDL_Delay(100)",
                       "9300 " + std::to_string(l2) + " SDL_CDStatus() = 2",
                       "9300 " + std::to_string(l2) + " SDL_Delay(3000)",
                       "12300 " + std::to_string(l2) + " SDL_CDStatus() = 2",
                       "12300 " + std::to_string(l2) + " SDL_Delay(3000)",
                       "15300 " + std::to_string(l2) + " SDL_CDStatus() = 1",
                       "15300 " + std::to_string(l2) + " SDL_Quit()",
                   }));
    EXPECT_EQ(r.status, 0);
}

// A failed start is reported only after the wait, then the run goes on.
TEST(Player, WarningComesAfterTheWaitAndIsFlushedBeforeTheNextTrack)
{
    const DriveRun r = run("tracks 450 75\nfail 0\n");
    const std::vector<Call> statuses = r.named("SDL_CDStatus");
    ASSERT_EQ(statuses.size(), 6U);
    const long l0 = static_cast<long>((header(2) + t0).size());
    EXPECT_EQ(statuses[2].ms, 100);     // the one query after the settling sleep
    EXPECT_EQ(statuses[2].flushed, l0); // the warning is not out yet
    EXPECT_EQ(statuses[3].flushed, l0 + static_cast<long>((kWarning + t1).size()));
}

// Arguments are ignored: the same drive gives the same run.
TEST(Player, ArgumentsChangeNothing)
{
    const std::string script = kThreeTracks + "fail 1\n";
    const DriveRun plain = run(script);
    const DriveRun with_args = run(script, {"-h", "--help", "-v", "a b", "", "%s%n", "/dev/cdrom", "7"});
    EXPECT_EQ(with_args.out, plain.out);
    EXPECT_EQ(with_args.status, plain.status);
    ASSERT_EQ(with_args.calls.size(), plain.calls.size());
    for (size_t i = 0; i < plain.calls.size(); ++i)
        EXPECT_EQ(with_args.calls[i].what(), plain.calls[i].what());
}

// A full 99-track, 74-minute disc is played through on virtual time.
TEST(Player, FullLengthDiscOnVirtualTime)
{
    const auto began = std::chrono::steady_clock::now();
    const DriveRun r = run(disc(99, 74 * 60 * 75 / 99));
    const auto wall = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(plays(r), whole_disc_plays(99));
    EXPECT_GE(r.calls.back().ms, 74L * 60 * 1000 - 99);
    check_invariants(r);
    RecordProperty("wall_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wall).count()));
}

} // namespace
