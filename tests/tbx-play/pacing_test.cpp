// tbx-play's pacing on a virtual clock: a read that hands over verified
// audio at a rate, steadily or in bursts, with stalls; a decoder that reads
// the track's file as one might, each single read no larger than
// Pacing::kLargestRead, through a stdio buffer; and our look at its offset
// every so often, as the loop takes it. Whatever the read and the decoder,
// nothing is read that is not yet written, every track is heard whole and in
// order, the music starts soon, never pauses while the read is faster than
// the music, and plays at least 10 s between pauses where it is slower.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pacing.h"
#include "test_names.h"

namespace {

constexpr double kTick = 0.01; // seconds
constexpr long kBlock = 4096;  // stdio's buffer

// A track's file up to frame f, in bytes: quiet and loud passages by
// turns, 10 s each (15 and 30 KB a second), after a header.
long bytes_to(long f)
{
    long bytes = 417;
    for (long passage = 0; passage * 750 < f; ++passage)
        bytes += std::min(750L, f - passage * 750) * (passage % 2 == 0 ? 200 : 400);
    return bytes;
}

// How the decoder refills: once less than `refill_below` bytes it has read
// are left to play, it asks for as many as make up `holds`; stdio reads
// whole blocks past what it is asked, in reads of at most the largest.
// Opening the file, it fills `holds_at_open` at once.
struct Decoder {
    long refill_below;
    long holds;
    long holds_at_open;
};
// As sdl12-compat 1.2.60 does: a read of the most as tbx opens the file,
// another as its sound starts, then one each time 16 KB are left.
const Decoder kSeldom = {16 << 10, Pacing::kLargestRead, 2 * Pacing::kLargestRead - (12 << 10)};
// Late, and all it holds at once: a read of the most, and a block after it.
const Decoder kWhenEmpty = {1 << 10, Pacing::kLargestRead + kBlock, Pacing::kLargestRead + kBlock};
const Decoder kLittleAndOften = {Pacing::kLargestRead - kBlock, Pacing::kLargestRead, Pacing::kLargestRead}; // keeps itself full

// The read hands over verified audio: nothing for `first_after` seconds,
// then `first_rate` seconds of audio a second for the first `first_seconds`,
// then `rate`; in pieces of `burst` seconds of audio (a third of one where 0);
// it stalls for `seconds` once it has handed over `at` seconds of the disc.
struct Stall {
    double at;
    double seconds;
};
struct Read {
    const char *name;
    std::vector<long> frames; // per track
    std::vector<bool> audio;
    double first_after, first_rate, first_seconds, rate, burst;
    std::vector<Stall> stalls;
    Decoder decoder;
    double look;        // seconds between our looks at the decoder's offset
    bool real_time;     // the sound's pace
    bool measured;      // tbx measures the tracks at once
    double first_sound; // at most, in seconds
    int pauses_most;    // once the music plays
};

// A drive at 4x: its reach read before anything is verified, the first
// seconds at its speed, then half of it.
constexpr double kReach4x = 1225.0 / 300;
const std::vector<long> kThree = {1500, 1500, 1500};
std::vector<Stall> every(double seconds, double stall, int times)
{
    std::vector<Stall> stalls;
    for (int i = 1; i <= times; ++i)
        stalls.push_back({3 + seconds * i, stall});
    return stalls;
}
const std::vector<Stall> kEvery7s = every(7, 5, 39);

const Read kReads[] = {
    {"drive_at_4x", kThree, {true, true, true}, kReach4x, 4, 9, 2, 0, {}, kSeldom, 0.1, true, true, 9, 0},
    {"drive_at_4x_decoder_reading_when_empty", kThree, {true, true, true}, kReach4x, 4, 9, 2, 0, {}, kWhenEmpty, 0.1, true, true, 9, 0},
    {"drive_at_4x_decoder_keeping_itself_full", kThree, {true, true, true}, kReach4x, 4, 9, 2, 0, {}, kLittleAndOften, 0.1, true, true, 9, 0},
    // Verified a reach at once, then nothing while the next is read.
    {"drive_at_4x_in_bursts", kThree, {true, true, true}, kReach4x, 4, 16, 2, 16, {}, kSeldom, 0.1, true, true, 9.5, 1},
    // A 4-minute track just faster than the music, stalled 3 s after 2:00.
    {"just_faster_than_the_music_with_a_stall", {18000}, {true}, 10, 1.1, 0, 1.1, 0, {{125, 3}}, kSeldom, 0.1, true, true, 25, 0},
    // A damaged stretch read again and again for 12 s.
    {"retries_over_a_damaged_stretch", {6000}, {true}, kReach4x, 4, 9, 2, 0, {{30, 12}}, kSeldom, 0.1, true, true, 9, 1},
    // Slower than the music: pauses, each after at least 10 s of music.
    {"drive_at_1_5x", {4500, 4500}, {true, true}, 10, 0.75, 0, 0.75, 0, {}, kSeldom, 0.1, true, true, 35, 6},
    {"drive_at_0_5x", {4500}, {true}, 30, 0.25, 0, 0.25, 0, {}, kWhenEmpty, 0.1, true, true, 125, 6},
    // Our looks late, as on a loaded machine; a stall where the decoder is
    // about to read all it holds again.
    {"late_looks_and_stalls", {9000}, {true}, kReach4x, 4, 9, 1.2, 0, {{15, 4}, {40, 6}, {70, 5}}, kWhenEmpty, 0.4, true, true, 11, 3},
    {"late_looks_decoder_keeping_itself_full", {9000}, {true}, kReach4x, 4, 9, 1.2, 0, {{15, 4}, {40, 6}, {70, 5}}, kLittleAndOften, 0.4, true, true, 11, 3},
    // Stalls of 5 s every 7 s of audio, the read otherwise at about the
    // music's pace: some find the decoder about to read all it holds.
    {"stalls_near_a_read_of_the_most", {27000}, {true}, kReach4x, 4, 9, 1, 0, kEvery7s, kWhenEmpty, 0.1, true, true, 21, 40},
    {"stalls_slower_than_the_music", {27000}, {true}, kReach4x, 4, 9, 0.8, 0, kEvery7s, kWhenEmpty, 0.1, true, true, 21, 40},
    // Its data track first: tbx goes straight on to the audio after it.
    {"data_track_first", {300, 1500}, {false, true}, kReach4x, 4, 9, 2, 0, {}, kSeldom, 0.1, true, true, 9, 0},
    // Sound faster than real time, or tbx not known to have measured the
    // tracks: a track plays only once whole.
    {"sound_not_in_real_time", {1500, 750}, {true, true}, kReach4x, 4, 9, 2, 0, {}, kSeldom, 0.1, false, true, 15, 0},
    {"tracks_not_measured", {1500}, {true}, kReach4x, 4, 9, 2, 0, {}, kSeldom, 0.1, true, false, 15, 0},
};

// The read as time goes: seconds of the disc's audio handed over.
class Handing {
public:
    explicit Handing(const Read &r) : r_(r), stalls_(r.stalls), at_(r.first_after) {}
    double at(double t)
    {
        for (; at_ < t; at_ += kTick) {
            const auto stall = std::find_if(stalls_.begin(), stalls_.end(), [&](const Stall &s) { return audio_ >= s.at; });
            if (stall != stalls_.end()) {
                at_ += stall->seconds;
                stalls_.erase(stall);
            }
            audio_ += kTick * (audio_ < r_.first_seconds ? r_.first_rate : r_.rate);
        }
        const double piece = r_.burst > 0 ? r_.burst : 1.0 / 3;
        return std::floor(audio_ / piece + 1e-9) * piece;
    }

private:
    const Read &r_;
    std::vector<Stall> stalls_;
    double at_;
    double audio_ = 0;
};

class Paced : public ::testing::TestWithParam<Read> {};

TEST_P(Paced, NothingUnwrittenIsReadAndTheMusicPausesOnlyWhenTheReadFallsBehind)
{
    const Read &r = GetParam();
    Pacing pacing(r.frames, r.audio, r.real_time);
    if (r.measured)
        pacing.measured();
    size_t reading = 0;
    for (size_t i = 0; i < r.frames.size(); ++i)
        if (!r.audio[i])
            pacing.whole(i);
    while (reading < r.frames.size() && !r.audio[reading])
        ++reading;
    long handed = 0;         // of the track read, frames handed over
    long before_reading = 0; // the disc's audio frames before it

    size_t playing = 0;
    bool started = false, paused = false;
    double heard = 0;    // of the track playing, seconds
    long offset = 0;     // the decoder's, in its file
    double first_sound = -1, played_since = 0;
    int pauses = 0;
    double least_between = 1e9;
    long unwritten = 0; // bytes the decoder read past what was written
    double next_look = 0;
    Handing handing(r);

    for (double t = 0; playing < r.frames.size() && t < 900; t += kTick) {
        // The read, a stretch of 25 frames at a time, as the reader tells.
        const long disc = static_cast<long>(std::lround(handing.at(t) * 75));
        while (reading < r.frames.size() && disc - before_reading > handed) {
            handed = std::min(std::min(disc - before_reading, r.frames[reading]), (handed / 25 + 1) * 25);
            pacing.read(reading, handed, bytes_to(handed), t);
            if (handed == r.frames[reading]) {
                pacing.whole(reading);
                before_reading += r.frames[reading];
                handed = 0;
                do {
                    ++reading;
                } while (reading < r.frames.size() && !r.audio[reading]);
            }
        }
        const bool in_part = playing == reading && !pacing.is_whole(playing);
        // Our look, as the loop takes it: the offset, the start, the pause.
        if (t >= next_look) {
            next_look = t + r.look;
            pacing.taken(in_part && started ? offset : -1);
            if (!started && pacing.may_start(playing, t)) {
                started = true;
                heard = 0;
                offset = 0;
                pacing.playing(playing, t);
                if (!r.audio[playing]) {
                    started = false;
                    ++playing;
                    continue;
                }
            }
            const bool now_paused = started && pacing.paused(t);
            if (now_paused && !paused && first_sound >= 0) {
                ++pauses;
                least_between = std::min(least_between, played_since);
            }
            if (!now_paused && paused)
                played_since = 0;
            paused = now_paused;
        }
        if (!started || paused)
            continue;
        if (first_sound < 0)
            first_sound = t;
        // The decoder, refilling as it plays; what stdio reads past what it
        // was asked comes whole blocks at a time.
        const long frames = r.frames[playing];
        const long file = bytes_to(frames);
        const long played = bytes_to(std::min(static_cast<long>(heard * 75), frames));
        if (offset < file && offset - played < r.decoder.refill_below) {
            const long asked = (offset == 0 ? r.decoder.holds_at_open : r.decoder.holds) - (offset - played);
            const long end = std::min((offset + asked + kBlock - 1) / kBlock * kBlock, file);
            const long written = pacing.is_whole(playing) ? file : bytes_to(handed);
            unwritten = std::max(unwritten, end - written);
            offset = end;
        }
        heard += kTick;
        played_since += kTick;
        if (heard >= frames / 75.0) {
            started = false;
            ++playing;
        }
    }
    std::cout << r.name << ": first sound at " << first_sound << " s, " << pauses << " pauses, at least "
              << (pauses > 0 ? least_between : 0) << " s of music between\n";
    EXPECT_EQ(playing, r.frames.size()) << "the disc played to its end";
    EXPECT_LE(unwritten, 0) << "bytes read before they were written";
    EXPECT_GE(first_sound, 0);
    EXPECT_LE(first_sound, r.first_sound);
    EXPECT_LE(pauses, r.pauses_most);
    if (pauses > 0) {
        EXPECT_GE(least_between, 10) << "seconds of music between pauses";
    }
}

INSTANTIATE_TEST_SUITE_P(Pacing, Paced, ::testing::ValuesIn(kReads), ByName());

// What the progress line is told: the share of the work done, the drive's
// speed, how far the read is ahead of the music, and why the music waits.
TEST(Pacing, FiguresSayHowTheReadGoesAndWhyTheMusicWaits)
{
    Pacing pacing({1500, 750}, {true, true}, true);
    pacing.measured();
    // Verified at 2x, the drive reading each sector twice at 4x; 384
    // kbit/s: 48 KB a second of audio.
    for (long f = 25; f <= 750; f += 25) {
        pacing.read(0, f, f * 640, f / 75.0 / 2);
        pacing.drive(2 * f, 2 * f, 4500, f / 75.0 / 2);
    }
    Pacing::Figures f = pacing.figures(5);
    EXPECT_EQ(f.percent, 33);
    EXPECT_NEAR(f.speed, 4, 0.1);
    EXPECT_NEAR(f.ahead, 10, 0.01);
    EXPECT_EQ(f.wait, Pacing::Wait::Start) << "verifying the first seconds";

    ASSERT_TRUE(pacing.may_start(0, 5));
    pacing.playing(0, 5);
    EXPECT_FALSE(pacing.paused(5));
    EXPECT_NEAR(pacing.figures(6).ahead, 9, 0.01);
    // The drive stalls over a damaged stretch: the music pauses once the
    // decoder's offset comes within a read and the margin of what is
    // written, and says why.
    pacing.retried(6);
    pacing.taken(480000 - Pacing::kLargestRead - Pacing::kMargin + 1);
    EXPECT_TRUE(pacing.paused(8));
    f = pacing.figures(8);
    EXPECT_EQ(f.wait, Pacing::Wait::Retries);
    EXPECT_NEAR(pacing.position(10), 3, 0.01) << "the music stays where it paused";
    // Later, still stalled: the drive is slow.
    EXPECT_EQ(pacing.figures(12).wait, Pacing::Wait::Drive);
    // The track whole: the music goes on from where it was.
    pacing.whole(0);
    pacing.drive(3000, 3000, 4500, 13);
    EXPECT_FALSE(pacing.paused(13));
    EXPECT_NEAR(pacing.position(14), 4, 0.01);
    EXPECT_EQ(pacing.figures(14).wait, Pacing::Wait::None);
    EXPECT_EQ(pacing.figures(14).percent, 66);
}

} // namespace
