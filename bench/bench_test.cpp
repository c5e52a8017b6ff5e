// The benchmark's own helpers: the floor must make exactly tbx's SDL calls,
// or the ratio to it means nothing; gaps must measure from the end of one
// track to the start of the next, whatever sdl12-compat plays in between.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_run.h"
#include "process.h"
#include "test_names.h"
#include "tones.h"

namespace {

// The calls a program made into the scripted drive, with their virtual
// times, and its exit status. The count of bytes printed is left out of
// each call: the floor prints nothing.
std::vector<std::string> calls(const char *program, const std::string &script)
{
    Spawn spawn;
    spawn.argv = {program};
    const DriveRun d = run_on_drive(spawn, script);
    std::vector<std::string> c = d.timed();
    c.push_back("exit " + std::to_string(d.status));
    return c;
}

struct Drive {
    const char *name;
    const char *script;
};

const Drive kDrives[] = {
    {"three_tracks", "tracks 900 300 600\n"},
    {"one_track", "tracks 4500\n"},
    {"play_fails", "tracks 900 300 600\nfail 1\n"},
    {"spins_up_slowly", "tracks 900 300\nspinup 4000\n"},
    {"ejected_midway", "tracks 900 300 600\neject at 14000\n"},
    {"tray_empty", "tray empty\n"},
    {"no_drive", "no drive\n"},
    {"init_fails", "init fail\n"},
    {"claims_too_many_tracks", "tracks 75 75\nclaim 150\n"},
};

class Floor : public ::testing::TestWithParam<Drive> {};

TEST_P(Floor, MakesTbxsCallsAtTbxsTimes)
{
    const std::vector<std::string> tbx = calls(TBX_SCRIPTED, GetParam().script);
    ASSERT_NE(tbx.front().find("SDL_Init"), std::string::npos);
    EXPECT_EQ(calls(FLOOR_SCRIPTED, GetParam().script), tbx);
}

INSTANTIATE_TEST_SUITE_P(Bench, Floor, ::testing::ValuesIn(kDrives), ByName());

struct Recording {
    const char *name;
    std::vector<tones::Piece> pieces;
    std::vector<const char *> hz; // the disc's tones, as given to gaps
    std::string gaps;
};

const Recording kRecordings[] = {
    {"silence_between", {{0, 0.04}, {440, 1}, {0, 0.5}, {660, 1}}, {"440", "660"}, "1 0.50\n"},
    {"back_to_back", {{440, 1}, {660, 1}}, {"440", "660"}, "1 0.00\n"},
    // sdl12-compat's moment of the next track belongs to the gap.
    {"next_track_glimpsed",
     {{440, 1}, {660, 0.1}, {0, 2.9}, {660, 1}, {0, 0.3}, {990, 1}},
     {"440", "660", "990"},
     "1 3.00\n2 0.30\n"},
    {"track_never_heard", {{440, 1}, {0, 1}, {990, 1}}, {"440", "660", "990"}, "1 missing\n2 missing\n"},
};

class Gaps : public ::testing::TestWithParam<Recording> {};

TEST_P(Gaps, AreMeasuredFromTrackToTrack)
{
    const Recording &r = GetParam();
    const TempDir dir;
    tones::write_capture(dir / "capture", tones::synth(r.pieces));
    Spawn spawn;
    spawn.argv = {GAPS, dir / "capture"};
    spawn.argv.insert(spawn.argv.end(), r.hz.begin(), r.hz.end());
    const Exit e = run_process(spawn);
    EXPECT_EQ(e.out, r.gaps);
    EXPECT_EQ(e.status, 0);
}

INSTANTIATE_TEST_SUITE_P(Bench, Gaps, ::testing::ValuesIn(kRecordings), ByName());

} // namespace
