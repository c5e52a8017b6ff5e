// tbx-play's pacing on a virtual clock: a drive that reads at a speed, as
// steadily or in the bursts verified stretches come in, and a tbx that starts each track when
// it may and plays it while it is not paused. Whatever the drive, nothing is
// heard that was not read and written far enough ahead of sdl12-compat's
// reads, every track is heard whole and in order, and the music starts as
// soon as it can.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pacing.h"
#include "test_names.h"

namespace {

constexpr double kTick = 0.05;        // seconds
constexpr long kBytesPerFrame = 320;  // 192 kbit/s
// How sdl12-compat reads a track's file: so much at the start, then so much
// more each time no more than so much of what it read is left to decode.
constexpr long kFirstRead = 65536, kNextRead = 49152, kReadWhenLeft = 16384;

struct Drive {
    const char *name;
    std::vector<long> frames; // per track
    std::vector<bool> audio;
    double speed;       // times real time
    double burst;       // seconds of audio handed over at once, 0 for steadily
    bool real_time;     // the sound's pace
    bool measured;      // tbx measures the tracks at once
    double first_sound; // at most, in seconds
    int pauses_least, pauses_most;
};

const Drive kDrives[] = {
    {"fast_drive", {1500, 1500}, {true, true}, 4, 0, true, true, 1.4, 0, 0},
    {"fast_drive_in_bursts", {1500, 18000}, {true, true}, 4, 6, true, true, 1.6, 0, 0},
    {"just_faster_than_the_music", {4500}, {true}, 1.2, 0, true, true, 4.5, 0, 0},
    {"drive_at_half_speed", {1500, 750}, {true, true}, 0.5, 0, true, true, 10.8, 2, 12},
    {"half_speed_in_bursts", {1500}, {true}, 0.5, 2, true, true, 12.1, 1, 8},
    // Its data track first: tbx goes straight on to the audio after it.
    {"data_track_first", {300, 1500}, {false, true}, 4, 0, true, true, 1.4, 0, 0},
    // Sound faster than real time, or tbx not known to have measured the
    // tracks: a track plays only once whole.
    {"sound_not_in_real_time", {1500, 750}, {true, true}, 2, 0, false, true, 10.1, 0, 0},
    {"tracks_not_measured", {1500}, {true}, 4, 0, true, false, 5.1, 0, 0},
};

class Paced : public ::testing::TestWithParam<Drive> {};

TEST_P(Paced, NothingIsHeardBeforeItIsReadAndEveryTrackIsHeardWhole)
{
    const Drive &d = GetParam();
    Pacing pacing(d.frames, d.audio, d.real_time);
    if (d.measured)
        pacing.measured();
    for (size_t i = 0; i < d.frames.size(); ++i)
        if (!d.audio[i])
            pacing.whole(i);

    size_t reading = 0, playing = 0;
    while (reading < d.frames.size() && !d.audio[reading])
        ++reading;
    double read = 0;        // of the track read, in frames, as the drive gets it
    long handed = 0;        // of them, verified and handed over
    bool started = false;   // tbx plays track `playing`
    double heard = 0;       // of it, in seconds
    long taken = 0;         // of its file, by sdl12-compat
    double first_sound = -1;
    int pauses = 0;
    bool was_paused = false;
    std::vector<double> heard_whole(d.frames.size(), 0);

    for (double t = 0; playing < d.frames.size() && t < 600; t += kTick) {
        // The drive, in order, reporting as the reader does: every 25 frames.
        if (reading < d.frames.size()) {
            read = std::min<double>(read + d.speed * 75 * kTick, d.frames[reading]);
            const long burst = d.burst > 0 ? static_cast<long>(d.burst * 75) : 1;
            const long now_handed = read >= d.frames[reading] ? d.frames[reading] : static_cast<long>(read) / burst * burst;
            for (long f = (handed / 25 + 1) * 25; f <= now_handed; f += 25)
                pacing.read(reading, f, f * kBytesPerFrame);
            handed = now_handed;
            if (handed == d.frames[reading]) {
                pacing.whole(reading);
                do {
                    ++reading;
                } while (reading < d.frames.size() && !d.audio[reading]);
                read = 0;
                handed = 0;
            }
        }
        // tbx: a track at a time, when it may.
        if (!started) {
            if (!pacing.may_start(playing))
                continue;
            started = true;
            heard = 0;
            taken = 0;
            pacing.playing(playing, t);
            if (!d.audio[playing]) {
                started = false;
                ++playing;
                continue;
            }
        }
        const bool paused = pacing.paused(t);
        pauses += paused && !was_paused ? 1 : 0;
        was_paused = paused;
        if (paused)
            continue;
        if (first_sound < 0)
            first_sound = t;
        heard += kTick;
        // Each read of sdl12-compat's finds all it asks for in the file.
        const long at = static_cast<long>(heard * 75) * kBytesPerFrame;
        const long asked = taken == 0 ? kFirstRead : taken - at <= kReadWhenLeft ? kNextRead : 0;
        if (asked > 0 && !pacing.is_whole(playing)) {
            EXPECT_EQ(playing, reading) << "at " << t << " s";
            EXPECT_LE(taken + asked, handed / 25 * 25 * kBytesPerFrame)
                << "track " << playing << " at " << heard << " s, " << t << " s in";
        }
        taken += asked;
        if (heard >= d.frames[playing] / 75.0) {
            heard_whole[playing] = heard;
            started = false;
            ++playing;
        }
    }
    EXPECT_EQ(playing, d.frames.size()) << "the disc played to its end";
    for (size_t i = 0; i < d.frames.size(); ++i)
        if (d.audio[i]) {
            EXPECT_NEAR(heard_whole[i], d.frames[i] / 75.0, kTick) << "track " << i << " heard whole";
        }
    EXPECT_GE(first_sound, 0);
    EXPECT_LE(first_sound, d.first_sound);
    EXPECT_GE(pauses, d.pauses_least);
    EXPECT_LE(pauses, d.pauses_most);
}

INSTANTIATE_TEST_SUITE_P(Pacing, Paced, ::testing::ValuesIn(kDrives), ByName());

// What the progress line is told: the share of the work done, the drive's
// speed, how far the read is ahead of the music, and why the music waits.
TEST(Pacing, FiguresSayHowTheReadGoesAndWhyTheMusicWaits)
{
    Pacing pacing({750, 750}, {true, true}, true);
    pacing.measured();
    // Verified at 2x, the drive reading each sector twice at 4x; 384
    // kbit/s: 48 KB a second of audio.
    for (long f = 25; f <= 375; f += 25) {
        pacing.read(0, f, f * 640);
        pacing.drive(2 * f, 2 * f, 3000, f / 75.0 / 2);
    }
    Pacing::Figures f = pacing.figures(2.5);
    EXPECT_EQ(f.percent, 25);
    EXPECT_NEAR(f.speed, 4, 0.1);
    EXPECT_NEAR(f.ahead, 5, 0.01);
    EXPECT_EQ(f.wait, Pacing::Wait::Start) << "verifying the first seconds";

    ASSERT_TRUE(pacing.may_start(0));
    pacing.playing(0, 2.5);
    EXPECT_FALSE(pacing.paused(2.5));
    EXPECT_NEAR(pacing.figures(3).ahead, 4.5, 0.01);
    // The drive stalls over a damaged stretch: the music pauses before
    // sdl12-compat's read at 4.1 s, which would ask for more than the 5 s
    // written, and says why.
    pacing.retried(3);
    for (double t = 2.5; t < 7; t += 0.1)
        pacing.paused(t);
    EXPECT_TRUE(pacing.paused(7));
    const double paused_at = pacing.position(7);
    EXPECT_GE(paused_at, 2.5);
    EXPECT_LE(paused_at, 3.9);
    f = pacing.figures(7);
    EXPECT_EQ(f.wait, Pacing::Wait::Retries);
    EXPECT_NEAR(f.speed, (750.0 - 50) / 75 / (7 - 1.0 / 6), 0.05) << "the stall counts in the speed";
    EXPECT_NEAR(pacing.position(9), paused_at, 0.01) << "the music stays where it paused";
    // Later, still stalled: the drive is slow.
    EXPECT_EQ(pacing.figures(12).wait, Pacing::Wait::Drive);
    // The track whole: the music goes on from where it was.
    pacing.whole(0);
    pacing.drive(1500, 1500, 3000, 13);
    EXPECT_FALSE(pacing.paused(13));
    EXPECT_NEAR(pacing.position(14), paused_at + 1, 0.01);
    EXPECT_EQ(pacing.figures(14).wait, Pacing::Wait::None);
    EXPECT_EQ(pacing.figures(14).percent, 50);
}

} // namespace
