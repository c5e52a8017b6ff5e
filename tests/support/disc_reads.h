#ifndef TBX_TESTS_DISC_READS_H
#define TBX_TESTS_DISC_READS_H

// What a read of the emulated drive's audio gives, frame by frame: the
// disc's own samples, or, where the script says, what a drive really
// answers. Among the last frames it read from the disc (cache N) it answers
// from its buffer, as they read then, and at once. Where the disc is
// damaged, a read from the disc gives a burst of wrong samples at a chance
// (damaged F1 F2 P), or other bytes every time (unsteady F). Each read's
// damage follows from the frame and how often it was read from the disc, so
// that a run reads the same as the run before it.
//
// Used by the ioctl drive, which serves it to READ CD, and by tests that
// read the disc through it without a drive.
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "drive_script.h"

class DiscReads {
public:
    static constexpr int kFrameBytes = 2352;
    // The disc's own frame, into 2352 bytes.
    using Fill = std::function<void(int frame, unsigned char *out)>;

    DiscReads(const DriveScript &script, Fill fill);

    // Frame's bytes into out; true where they came from the disc, false
    // where from the buffer.
    bool read(int frame, unsigned char *out);

private:
    const DriveScript &script_;
    Fill fill_;
    std::deque<int> order_; // of the frames in the buffer, oldest first
    std::map<int, std::vector<unsigned char>> held_;
    std::map<int, long> read_from_disc_;
};

#endif
