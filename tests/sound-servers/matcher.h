#ifndef TBX_TESTS_MATCHER_H
#define TBX_TESTS_MATCHER_H

// Finds where each track plays in a recording of a sound server's sink,
// sample for sample, and what went wrong as it played: where the music
// paused (digital silence inside the track), what of it was never heard,
// what was heard twice, what was heard wrong. Both are 16-bit stereo at
// 44100 Hz, as the server's monitor and a decoder give them; a sample is
// the same within a tolerance, for the servers' own rounding.
//
// sdl12-compat ends a track by playing the first tens of milliseconds of
// the next one, then plays that one from its start: such a start heard
// early is named, not counted as heard twice. At the end of the disc it
// plays the last track's padding, then again a few of the track's last
// frames, the rest of its last buffer as that buffer was a buffer before;
// 1.2.78 does so at the end of every track, right before the next one's
// start: named too, not counted as heard wrong or twice.
#include <cstdint>
#include <string>
#include <vector>

namespace matcher {

constexpr int kRate = 44100;

using Pcm = std::vector<std::int16_t>; // stereo, interleaved

struct Event {
    enum Kind { Pause, Lost, Twice, Wrong } kind;
    long at;     // where in the track, in frames
    long heard;  // where in the recording, in frames
    long frames; // how long: silent, missing, again, or wrong
};

struct Track {
    long first = -1;  // where in the recording its first frame heard plays; -1: never
    long last = -1;   // and its last, past it
    long early = 0;   // of its first frames, heard at the end of the track before
    long again = 0;   // of its last frames, heard again after its end, its last buffer's rest
    int deviation = 0; // the largest difference of a sample heard from the track's, in steps
    std::vector<Event> events;

    long total(Event::Kind kind) const;
    long count(Event::Kind kind) const;
    bool whole() const { return first >= 0 && events.empty(); }
};

// Where in recording each of tracks plays. A pause is silence of at least
// min_pause frames inside a track; shorter silence there is heard wrong.
std::vector<Track> match(const Pcm &recording, const std::vector<Pcm> &tracks, int tolerance = 2,
                         long min_pause = kRate / 200);

// "first heard at 4.84 s; paused 0.62 s at 3.30 s; 414 frames lost at 3.30 s; ..."
std::string describe(const Track &track);

} // namespace matcher

#endif
