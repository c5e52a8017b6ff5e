// tbx exactly as shipped, run on sdl12-compat's drive emulated from a folder
// of mp3 tracks. SDL2's disk audio driver records, in real time, what the
// drive played, so the tone disc can be followed track by track.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "output.h"
#include "process.h"
#include "test_names.h"
#include "tones.h"

namespace {

// The tone disc the build made, from the same list: hz and seconds a track.
const std::vector<tones::Piece> kTracks = TONE_TRACKS;

// A run of tbx on sdl12-compat.
Exit run_on_compat(const Env &env)
{
    Spawn spawn;
    spawn.argv = {TBX};
    spawn.env = env;
    spawn.env["LD_LIBRARY_PATH"] = SDL12_COMPAT_DIR;
    return run_process(spawn);
}

struct Failure {
    const char *name;
    const char *audio_driver;
    const char *folder; // nullptr: none named; "": a fresh empty one
    std::string out;
};

const Failure kFailures[] = {
    // sdl12-compat cannot start without SDL2's audio.
    {"unknown_audio_driver", "no-such-driver", TONE_DISC, output::kNoInit},
    {"no_folder", "dummy", nullptr, output::kNoDrive},
    {"empty_folder", "dummy", "", output::kNoDisc},
};

class Failures : public ::testing::TestWithParam<Failure> {};

TEST_P(Failures, SaysWhyAndExits255)
{
    const Failure &f = GetParam();
    const TempDir empty;
    Env env = {{"SDL_AUDIODRIVER", f.audio_driver}};
    if (f.folder != nullptr)
        env["SDL12COMPAT_FAKE_CDROM_PATH"] = *f.folder ? f.folder : empty.path();
    const Exit e = run_on_compat(env);
    EXPECT_EQ(e.out, f.out);
    EXPECT_EQ(e.status, 255);
}

INSTANTIATE_TEST_SUITE_P(CompatDrive, Failures, ::testing::ValuesIn(kFailures), ByName());

TEST(CompatDrive, PlaysEveryTrackOfTheToneDiscInOrder)
{
    ASSERT_GE(kTracks.size(), 2U);
    // What tbx must print, and the tones the analysis listens for.
    std::string expected = output::header(static_cast<int>(kTracks.size()), TONE_DISC);
    std::vector<double> hz;
    for (size_t i = 0; i < kTracks.size(); ++i) {
        const int seconds = static_cast<int>(kTracks[i].seconds);
        expected += output::track(static_cast<int>(i), std::to_string(seconds / 60) + ":" + std::to_string(seconds % 60));
        hz.push_back(kTracks[i].hz);
    }
    const TempDir dir;
    const auto began = std::chrono::steady_clock::now();
    const Exit e = run_on_compat({{"SDL12COMPAT_FAKE_CDROM_PATH", TONE_DISC},
                                  {"SDL_AUDIODRIVER", "disk"},
                                  {"SDL_DISKAUDIOFILE", dir / "capture"}});
    const auto wall = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(e.out, expected);
    EXPECT_EQ(e.status, 0);

    const std::vector<tones::Run> runs = tones::tone_runs(tones::read_capture(dir / "capture"), hz);
    SCOPED_TRACE("heard: " + tones::describe(runs, hz));

    // Each tone sounds for nearly its track's whole length (the encoder adds
    // a few ms), each after the one before.
    std::vector<const tones::Run *> heard;
    for (size_t i = 0; i < kTracks.size(); ++i) {
        const tones::Run *r = tones::longest(runs, static_cast<int>(i));
        ASSERT_NE(r, nullptr) << "track " << i << " was never heard";
        EXPECT_GE(r->end - r->start, 0.9 * kTracks[i].seconds) << "track " << i;
        EXPECT_LE(r->end - r->start, kTracks[i].seconds + 0.2) << "track " << i;
        if (!heard.empty()) {
            EXPECT_GE(r->start, heard.back()->end) << "track " << i << " came too early";
        }
        heard.push_back(r);
    }
    // Nothing else sounds for long: no track is played twice, no noise.
    for (const tones::Run &r : runs) {
        if (r.tone != tones::kSilence && r.end - r.start > 0.3) {
            EXPECT_TRUE(r.tone >= 0 && &r == heard[r.tone]) << "at " << r.start << " s";
        }
    }
    RecordProperty("wall_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wall).count()));
}

} // namespace
