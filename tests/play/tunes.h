#ifndef TBX_TESTS_TUNES_H
#define TBX_TESTS_TUNES_H

// Finds tunes, in order, in a recording of them: each tune's loudness over
// time, from its first sound to its last, must match a stretch of the
// recording, each stretch after the one before. Enough to tell a recording
// of a disc from silence, noise, a wrong order or a track cut short.
#include <vector>

#include "tones.h"

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
