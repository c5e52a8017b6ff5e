// The shipped tbx, on the real classic libSDL, over the emulated drive: its
// standard output byte for byte, its exit status and the play commands the
// drive received. These run in real time; tbx polls every 3 seconds.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_run.h"
#include "output.h"
#include "test_names.h"

namespace {

const std::string kDevice = "/dev/tbx-cd";

DriveRun run(const std::string &script)
{
    Spawn spawn;
    spawn.argv = {TBX};
    spawn.env = {{"LD_PRELOAD", IOCTL_DRIVE},
                 {"SDL_CDROM", kDevice},
                 {"SDL_AUDIODRIVER", "dummy"},
                 {"LD_LIBRARY_PATH", CLASSIC_SDL_DIR}};
    spawn.timeout_s = 40;
    return run_on_drive(spawn, script);
}

using output::kNoDisc;
using output::kWarning;
using output::track;

std::string header(int tracks) { return output::header(tracks, kDevice); }

struct Scenario {
    const char *name;
    const char *script;
    std::string out;
    int status;
    std::vector<std::string> plays; // each range SDL sent, 10 frames short of the track's end
    const char *fault;              // an answer the drive must have given, proof the fault struck
};

// Track 0 starts at 0:2:0 (frame 150). Faults strike well inside a track, so
// that a slow start of the program cannot move them out of it.
const Scenario kScenarios[] = {
    {"three_tracks", "tracks 100 224 180\n", header(3) + track(0, "0:1") + track(1, "0:2") + track(2, "0:2"), 0,
     {"0:2:0,0:3:15", "0:3:25,0:6:14", "0:6:24,0:8:44"}, "COMPLETED"},
    {"empty_tray", "tray empty\n", kNoDisc, 255, {}, "ENOMEDIUM"},
    {"no_drive", "no drive\n", output::kNoDrive, 255, {}, nullptr},
    // SDL skips the data track at the end and refuses what is left.
    {"enhanced_cd", "tracks 150 150 225\ndata 2\n",
     header(3) + track(0, "0:2") + track(1, "0:2") + track(2, "0:3") + kWarning, 0, {"0:2:0,0:3:65", "0:4:0,0:5:65"},
     "data"},
    // A pause ends the wait as the end of the track does.
    {"paused_during_a_track", "tracks 225 150\npause at 1500\n", header(2) + track(0, "0:3") + track(1, "0:2"), 0,
     {"0:2:0,0:4:65", "0:5:0,0:6:65"}, "PAUSED"},
    // The tray opening in the middle of SDL's table read, at the first poll of
    // track 0 (the fifth header read): the query fails with the track count
    // already in the record, so the next track is announced before the disc
    // is found missing.
    {"ejected_while_sdl_reads_the_table", "tracks 150 150 150\neject after CDROMREADTOCHDR 5\n",
     header(3) + track(0, "0:2") + track(1, "0:2") + kNoDisc, 255, {"0:2:0,0:3:65"}, "ENOMEDIUM"},
    // SDL empties the record's track count when it finds the tray empty, so
    // an eject during a track ends the run quietly, whatever tracks were left.
    {"ejected_while_a_track_plays", "tracks 225 150 150\neject at 2000\n", header(3) + track(0, "0:3"), 0,
     {"0:2:0,0:4:65"}, "ENOMEDIUM"},
};

class RealSdl : public ::testing::TestWithParam<Scenario> {};

TEST_P(RealSdl, OutputStatusAndPlays)
{
    const Scenario &s = GetParam();
    const DriveRun r = run(s.script);
    EXPECT_EQ(r.out, s.out);
    EXPECT_EQ(r.status, s.status);
    EXPECT_EQ(r.plays(), s.plays);

    // No track is commanded while the drive still says it plays one, nor
    // before its line is out.
    std::string last_status;
    size_t line_end = 0;
    bool fault_seen = s.fault == nullptr;
    for (const Call &c : r.calls) {
        fault_seen = fault_seen || c.result.find(s.fault) != std::string::npos;
        if (c.name == "CDROMSUBCHNL")
            last_status = c.result;
        if (c.name == "CDROMPLAYMSF") {
            EXPECT_NE(last_status.rfind("PLAY ", 0), 0u) << "a play commanded over " << last_status;
            line_end = r.out.find('\n', r.out.find("\tPlaying Track", line_end)) + 1;
            EXPECT_EQ(c.flushed, static_cast<long>(line_end)) << c.what();
        }
    }
    EXPECT_TRUE(fault_seen) << "the drive never answered " << s.fault;
}

INSTANTIATE_TEST_SUITE_P(Tbx, RealSdl, ::testing::ValuesIn(kScenarios), ByName());

} // namespace
