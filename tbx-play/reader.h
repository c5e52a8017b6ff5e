#ifndef TBX_PLAY_READER_H
#define TBX_PLAY_READER_H

// Reads the disc's audio tracks in order, in a thread of its own, with full
// paranoia, encoding each frame as it is read into the track's file being
// read (cache::being_read) in the folder, out of its buffers every third of a second of
// audio so that tbx can play it meanwhile. What happens is told through a
// pipe, an Event at a time.
//
// The thread owns all it uses, the drive too, and lets the drive go once it
// has read: a stop that finds it stuck in a command of the drive leaves it
// there, with nothing of ours freed under it, until the process ends.
#include <memory>
#include <string>

#include <cdio/paranoia/paranoia.h>

#include "disc.h"

class Reader {
public:
    struct Event {
        enum Kind { Progress, Retried, Whole, Done, Failed } kind;
        size_t track; // from 0, as tbx counts tracks
        long frames;  // Progress: of the track, read and encoded; Failed: where in it
        long bytes;   // Progress: of its file, written
        // Failed: why
        enum Why { None, WriteFailed, DiscOut, DriveError, GivenUp } why;
        int error; // WriteFailed, DriveError: errno
    };

    // Starts reading what toc plays into the folder open as folder, with
    // the drive, which it takes and closes; nullptr, with error set, where it
    // cannot start.
    static std::unique_ptr<Reader> start(cdrom_drive_t *drive, const disc::Toc &toc, int folder, std::string &error);
    // Stops it, as stop() does.
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Where its events come from.
    int events() const;
    // What the drive said of its last failed read, as paranoia logged it.
    std::string drive_said() const;
    // Tells it to stop at the next frame and waits for it briefly, the first
    // time: one stuck in the drive, or in paranoia's verifying of a stretch,
    // is left to the end of the process.
    void stop();

    struct State;

private:
    explicit Reader(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

#endif
