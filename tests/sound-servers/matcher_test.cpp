// The matcher on recordings made up of the tracks' own samples: each row
// puts together what a sink could have heard, and what the matcher must
// make of it, event for event.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "matcher.h"
#include "test_names.h"

namespace {

using matcher::Event;
using matcher::Pcm;

constexpr long kFrames = 20000; // of each track

// A tone under noise, as a disc's track: no two stretches alike.
Pcm track(double hz, unsigned noise_from)
{
    std::mt19937 noise(noise_from);
    Pcm pcm;
    for (long n = 0; n < kFrames; ++n) {
        const double tone = 12000 * std::sin(2 * M_PI * hz * static_cast<double>(n) / matcher::kRate);
        for (int channel = 0; channel < 2; ++channel)
            pcm.push_back(static_cast<std::int16_t>(std::lround(tone) + static_cast<long>(noise() % 201) - 100));
    }
    return pcm;
}

const std::vector<Pcm> &tracks()
{
    static const std::vector<Pcm> made = {track(440, 1), track(660, 2), track(990, 3)};
    return made;
}

// What the recording holds, piece by piece.
struct Piece {
    int track;   // or one of these
    long from;   // frames: of the track, or how long
    long to = 0;
    int off = 0; // added to every sample of the track's
};
constexpr int kSilence = -1;
constexpr int kOther = -2; // quiet sound of no track, as an encoder's delay is

Piece silence(long frames) { return {kSilence, frames}; }
Piece other(long frames) { return {kOther, frames}; }
Piece play(int t, long from = 0, long to = kFrames, int off = 0) { return {t, from, to, off}; }

Pcm record(const std::vector<Piece> &pieces)
{
    std::mt19937 noise(99);
    Pcm pcm;
    for (const Piece &p : pieces) {
        if (p.track < 0) {
            for (long n = 0; n < 2 * p.from; ++n)
                pcm.push_back(p.track == kSilence ? 0 : static_cast<std::int16_t>(static_cast<long>(noise() % 61) - 30));
            continue;
        }
        const Pcm &t = tracks()[static_cast<size_t>(p.track)];
        for (long n = 2 * p.from; n < 2 * p.to; ++n)
            pcm.push_back(static_cast<std::int16_t>(t[static_cast<size_t>(n)] + p.off));
    }
    return pcm;
}

struct Heard {
    long first;
    std::vector<Event> events = {};
    long early = 0;
    long again = 0;
};

struct Row {
    const char *name;
    std::vector<Piece> recording;
    std::vector<Heard> heard; // of each track
};

const Heard kWhole0 = {0};

const Row kRows[] = {
    {"each_track_whole_between_silences",
     {silence(1000), play(0), silence(5000), play(1), silence(300), play(2)},
     {{1000}, {26000}, {46300}}},
    {"a_pause", {silence(100), play(0, 0, 8000), silence(4410), play(0, 8000), play(1), play(2)},
     {{100, {{Event::Pause, 8000, 8100, 4410}}}, {24510}, {44510}}},
    // As on PulseAudio: what was in the server's buffer is gone.
    {"a_pause_losing_what_was_buffered", {play(0, 0, 8000), silence(4410), play(0, 8414), play(1), play(2)},
     {{0, {{Event::Pause, 8000, 8000, 4410}, {Event::Lost, 8000, 12410, 414}}}, {23996}, {43996}}},
    // As on PipeWire: a quantum silent, and never heard.
    {"a_quantum_silent_and_lost", {play(0), play(1, 0, 5000), silence(512), play(1, 5512), play(2)},
     {kWhole0, {20000, {{Event::Pause, 5000, 25000, 512}, {Event::Lost, 5000, 25512, 512}}}, {40000}}},
    {"a_quantum_lost_without_silence", {play(0, 0, 8000), play(0, 8512), play(1), play(2)},
     {{0, {{Event::Lost, 8000, 8000, 512}}}, {19488}, {39488}}},
    {"a_stretch_heard_twice", {play(0, 0, 8000), play(0, 7000), play(1), play(2)},
     {{0, {{Event::Twice, 7000, 8000, 1000}}}, {21000}, {41000}}},
    // sdl12-compat's end of a track: the next one's encoder delay and its
    // first 45 ms, then, after tbx's poll, the next one from its start.
    {"the_next_tracks_start_heard_at_the_end_of_one",
     {play(0), other(800), play(1, 0, 2000), silence(40000), other(800), play(1), other(800), play(2, 0, 2100),
      silence(9000), play(2)},
     {kWhole0, {63600, {}, 2000}, {95500, {}, 2100}}},
    // Not heard again from its start: the start was heard out of place.
    {"a_start_heard_early_and_never_again",
     {play(0), play(1, 0, 2000), silence(40000), play(1, 1000), play(2)},
     {kWhole0, {20000, {{Event::Pause, 2000, 22000, 40000}, {Event::Twice, 1000, 62000, 1000}}}, {81000}}},
    // sdl12-compat's end of the disc: the last track's padding, then what
    // the last buffer held a buffer before, to that buffer's end.
    {"the_last_tracks_end_heard_again_after_it",
     {play(0), play(1), play(2), other(623), play(2, kFrames - 7569, kFrames - 6289), silence(5000)},
     {kWhole0, {20000}, {40000, {}, 0, 1280}}},
    // sdl12-compat 1.2.78, as SDL's disk driver and both servers heard it:
    // each track's last buffer filled with its last 1360 frames, then with
    // what it held a buffer before; then the next track's first buffer,
    // and after tbx's poll, that track from its start.
    {"each_tracks_end_heard_again_before_the_next_ones_start",
     {play(0), play(0, kFrames - 4096, kFrames - 1360), play(1, 0, 4096), silence(45056), play(1),
      play(1, kFrames - 4096, kFrames - 1360), play(2, 0, 4096), silence(49152), play(2),
      play(2, kFrames - 4096, kFrames - 1360)},
     {{0, {}, 0, 2736}, {71888, {}, 4096, 2736}, {147872, {}, 4096, 2736}}},
    // Before the next track's start heard early, and right after the end.
    {"a_tracks_end_heard_again_then_the_next_from_its_start",
     {play(0), play(0, kFrames - 4096, kFrames - 1360), play(1), play(2)},
     {{0, {{Event::Twice, kFrames - 4096, 20000, 2736}}}, {22736}, {42736}}},
    {"a_tracks_end_heard_again_after_a_gap_before_the_next_ones_start",
     {play(0), other(100), play(0, kFrames - 4096, kFrames - 1360), play(1, 0, 4096), silence(45056), play(1), play(2)},
     {{0, {{Event::Wrong, kFrames, 20000, 100}, {Event::Twice, kFrames - 4096, 20100, 2736}}}, {71988, {}, 4096}, {91988}}},
    {"a_tracks_end_heard_again_more_than_a_buffer_after_before_the_next_ones_start",
     {play(0), play(0, kFrames - 8193, kFrames - 5457), play(1, 0, 4096), silence(45056), play(1), play(2)},
     {{0, {{Event::Twice, kFrames - 8193, 20000, 2736}}}, {71888, {}, 4096}, {91888}}},
    // Only at the end of the disc, and no more than a buffer after.
    {"a_tracks_end_heard_again_before_the_next",
     {play(0), other(623), play(0, kFrames - 7569, kFrames - 6289), play(1), play(2)},
     {{0, {{Event::Wrong, kFrames, 20000, 623}, {Event::Twice, kFrames - 7569, 20623, 1280}}}, {21903}, {41903}}},
    {"the_last_tracks_end_heard_again_more_than_a_buffer_after",
     {play(0), play(1), play(2), other(623), play(2, kFrames - 7570, kFrames - 6290), silence(5000)},
     {kWhole0, {20000}, {40000, {{Event::Wrong, kFrames, 60000, 623}, {Event::Twice, kFrames - 7570, 60623, 1280}}}}},
    {"a_short_dropout_is_heard_wrong", {play(0, 0, 8000), silence(100), play(0, 8100), play(1), play(2)},
     {{0, {{Event::Wrong, 8000, 8000, 100}}}, {20000}, {40000}}},
    {"samples_off_by_the_tolerance", {play(0, 0, kFrames, 2), play(1, 0, kFrames, -2), play(2)},
     {kWhole0, {20000}, {40000}}},
    {"samples_off_by_more", {play(0, 0, 8000), play(0, 8000, 8050, 3), play(0, 8050), play(1), play(2)},
     {{0, {{Event::Wrong, 8000, 8000, 50}}}, {20000}, {40000}}},
    {"a_track_never_heard_one_cut_short", {play(0), silence(2000), play(2, 0, 15000), silence(2000)},
     {kWhole0, {-1, {{Event::Lost, 0, -1, kFrames}}}, {22000, {{Event::Lost, 15000, 37000, 5000}}}}},
    {"a_track_heard_from_past_its_start", {other(300), play(0, 3000), play(1), play(2)},
     {{300, {{Event::Lost, 0, 300, 3000}}}, {17300}, {37300}}},
};

class Matcher : public ::testing::TestWithParam<Row> {};

TEST_P(Matcher, FindsWhatWasHeardAndWhatWentWrong)
{
    const Row &row = GetParam();
    const std::vector<matcher::Track> heard = matcher::match(record(row.recording), tracks());
    ASSERT_EQ(heard.size(), row.heard.size());
    for (size_t i = 0; i < heard.size(); ++i) {
        SCOPED_TRACE("track " + std::to_string(i) + ": " + matcher::describe(heard[i]));
        const Heard &want = row.heard[i];
        EXPECT_EQ(heard[i].first, want.first);
        EXPECT_EQ(heard[i].early, want.early);
        EXPECT_EQ(heard[i].again, want.again);
        ASSERT_EQ(heard[i].events.size(), want.events.size());
        for (size_t k = 0; k < want.events.size(); ++k) {
            const Event &e = heard[i].events[k], &w = want.events[k];
            EXPECT_EQ(e.kind, w.kind) << "event " << k;
            EXPECT_EQ(e.at, w.at) << "event " << k;
            EXPECT_EQ(e.heard, w.heard) << "event " << k;
            EXPECT_EQ(e.frames, w.frames) << "event " << k;
        }
        EXPECT_LE(heard[i].deviation, 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Recordings, Matcher, ::testing::ValuesIn(kRows), ByName());

} // namespace
