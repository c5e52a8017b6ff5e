// scripts/play as shipped, with a disc in the emulated drive: it hands the
// disc to tbx-play, which reads it while tbx plays it on sdl12-compat, or
// to tbx on classic SDL, which has the drive play it.
#include <signal.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_run.h"
#include "output.h"
#include "test_names.h"

namespace {

const std::string &kDevice = kDiscDrive;

struct Case {
    const char *name;
    std::vector<std::string> args;
    const char *script;
    std::string out; // all of it (its last line whole), or how it begins
    std::string err; // how it begins
    int status;
    bool read;                      // the disc was read
    std::vector<std::string> plays; // what the drive was told to play
    // Ctrl-C once tbx plays, and the shell that runs the script: it ends
    // with nothing recorded announced, whether or not the shell waits to
    // see how its child ended before it ends too.
    const char *ctrl_c_under = nullptr;
};

const Case kCases[] = {
    {"digital_hands_the_disc_to_tbx_play", {"--digital"}, "tracks 375\ntones 440\n", "Tonbox ver ",
     "Reading the disc in " + kDevice + " into ", 0, true, {}},
    {"on_the_drive_through_its_own_output", {"--drive"}, "tracks 75\n",
     output::on_the_drive(kDevice) + output::header(1, kDevice) + output::track(0, "0:1"), "", 0, false, {"0:2:0,0:2:65"}},
    {"without_a_disc_tbx_says_so", {}, "tray empty\n", output::kNoDisc, "", 255, false, {}},
    {"an_unknown_option_gives_usage", {"--digital", "--loud"}, "tracks 375\n", "", "usage: ", 2, false, {}},
    {"ctrl_c_ends_it", {"--digital"}, "tracks 375\ntones 440\nspeed 8\n", "Tonbox ver ", "Reading the disc in ",
     1000 + SIGINT, true, {}, "/bin/sh"},
    {"ctrl_c_ends_it_under_bash", {"--digital"}, "tracks 375\ntones 440\nspeed 8\n", "Tonbox ver ",
     "Reading the disc in ", 1000 + SIGINT, true, {}, "/bin/bash"},
};

class Play : public ::testing::TestWithParam<Case> {};

TEST_P(Play, HandsTheDiscOver)
{
    const Case &c = GetParam();
    const TempDir dir;
    Spawn spawn;
    spawn.argv = {PLAY};
    spawn.argv.insert(spawn.argv.end(), c.args.begin(), c.args.end());
    spawn.env = reading_a_disc(IOCTL_DRIVE, TBX, dir, false);
    if (c.ctrl_c_under != nullptr) {
        spawn.argv.insert(spawn.argv.begin(), c.ctrl_c_under);
        spawn.env = reading_a_disc(IOCTL_DRIVE, TBX, dir, true);
        spawn.signal = Spawn::Signal{SIGINT, "Playing Track [ 0 ]", true};
    }
    const DriveRun r = run_on_drive(spawn, c.script);
    if (!c.out.empty() && c.out.back() == '\n')
        EXPECT_EQ(r.out, c.out);
    else
        EXPECT_EQ(r.out.rfind(c.out, 0), 0U) << r.out;
    EXPECT_EQ(r.err.rfind(c.err, 0), 0U) << r.err;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.read_audio(), c.read);
    EXPECT_EQ(r.plays(), c.plays);
    if (c.ctrl_c_under != nullptr) {
        EXPECT_EQ(r.out.find("Recorded: "), std::string::npos) << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Play, Play, ::testing::ValuesIn(kCases), ByName());

} // namespace
