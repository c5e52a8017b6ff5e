#ifndef TBX_TESTS_TONES_H
#define TBX_TESTS_TONES_H

// Tells which of a few pure tones sounds when in recorded audio, and where
// it is silent: enough to follow a disc of tone tracks through a recording
// of SDL's disk audio driver.
#include <string>
#include <vector>

namespace tones {

constexpr int kRate = 44100;
constexpr double kQuietRms = 1e-3; // a loudness below -60 dBFS is silence
constexpr int kSilence = -1; // a run with no sound
constexpr int kOther = -2;   // a run with sound that is none of the tones

// A recording of SDL's disk driver (raw 32-bit float stereo), mixed to mono.
std::vector<float> read_capture(const std::string &path);
// Writes mono sound as the disk driver would have recorded it.
void write_capture(const std::string &path, const std::vector<float> &mono);

// A stretch of made-up sound: a tone at hz, silence at 0, white noise below 0.
struct Piece {
    double hz;
    double seconds;
    double amplitude = 0.5;
};
std::vector<float> synth(const std::vector<Piece> &pieces, int rate = kRate);

struct Run {
    int tone;     // index into the frequencies asked for, kSilence or kOther
    double start; // seconds from the beginning of the recording
    double end;
};

// Classes consecutive windows of window_s seconds as one of the tones,
// silence or other sound, and joins equal neighbours into runs.
std::vector<Run> tone_runs(const std::vector<float> &mono, const std::vector<double> &hz, double window_s = 0.02,
                           int rate = kRate);

// The longest run of the tone, or nullptr when it never sounds.
const Run *longest(const std::vector<Run> &runs, int tone);

// "440Hz 0.10-1.60 silence 1.60-2.00 ..." for messages.
std::string describe(const std::vector<Run> &runs, const std::vector<double> &hz);

} // namespace tones

// Finds tunes, in order, in a recording of them: each tune's loudness over
// time, from its first sound to its last, must match a stretch of the
// recording, each stretch after the one before. Enough to tell a recording
// of a disc from silence, noise, a wrong order or a track cut short.
namespace tunes {

struct Found {
    bool found;        // heard whole, after the tune before
    double start;      // seconds into the recording
    double seconds;    // from the tune's first sound to its last
    double similarity; // of the loudness curves, 1 at best
};

// Where each tune sounds in the recording, searched for in order.
std::vector<Found> find_in_order(const std::vector<float> &recording, const std::vector<std::vector<float>> &tunes,
                                 int rate = tones::kRate);

} // namespace tunes

#endif
