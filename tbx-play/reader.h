#ifndef TBX_PLAY_READER_H
#define TBX_PLAY_READER_H

// Reads the disc's audio tracks in order, in a thread of its own, with full
// paranoia, encoding each frame as it is read into the track's file being
// read (cache::being_read), out of its buffers every third of a second of
// audio so that tbx can play it meanwhile. What happens is told through a
// pipe, an Event at a time.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <cdio/paranoia/paranoia.h>

#include "disc.h"

class Reader {
public:
    struct Event {
        enum Kind { Progress, Retried, Whole, Done, Unreadable, WriteFailed } kind;
        size_t track; // from 0, as tbx counts tracks
        long frames;  // Progress: of the track, read and encoded
        long bytes;   // Progress: of its file, written
        int error;    // WriteFailed: errno
    };

    // Reads into folder what disc's table plays, with the drive's handle.
    Reader(cdrom_drive_t *drive, const disc::Toc &toc, std::string folder);
    // Stops it, as stop() does.
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Where its events come from.
    int events() const { return pipe_[0]; }
    // Tells it to stop at the next frame and waits for it briefly: a drive
    // stuck in a command is left to the end of the process.
    void stop();

private:
    void run();
    // False once the run must end.
    bool read_track(cdrom_paranoia_t *paranoia, size_t i);
    void tell(const Event &e);

    cdrom_drive_t *drive_;
    std::vector<disc::Track> played_;
    std::string folder_;
    int pipe_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> stopped_{false};
    std::thread thread_;
};

#endif
