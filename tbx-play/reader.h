#ifndef TBX_PLAY_READER_H
#define TBX_PLAY_READER_H

// Reads the disc's audio tracks in order, in a thread of its own, every
// stretch twice from the disc itself (verify.h), encoding each as it is
// verified into the track's file being read (cache::being_read) in the
// folder, out of its buffers every third of a second of audio so that tbx
// can play it meanwhile. What happens is told through a pipe, an Event at a
// time.
//
// The thread owns all it uses, the drive too, and lets the drive go once it
// has read: a stop that finds it stuck in a command of the drive leaves it
// there, with nothing of ours freed under it, until the process ends.
#include <memory>
#include <string>
#include <vector>

#include <cdio/paranoia/cdda.h>

#include "disc.h"

class Reader {
public:
    struct Event {
        enum Kind { Progress, Drive, Retried, Damaged, Whole, Done, Failed } kind;
        size_t track; // from 0, as tbx counts tracks
        // Progress: frames of the track verified and encoded, bytes of its
        // file written. Drive: sectors the drive has read in all, work
        // done (each sector counts once read, and once verified) and of
        // how much. Damaged: where in the track (frames) its samples read
        // with errors begin, and how many they are. Whole: the track's
        // samples read with errors. Failed: where in it (frames).
        long frames;
        long bytes;
        long samples;
        // Failed: why
        enum Why { None, WriteFailed, DiscOut, DriveError } why;
        int error; // WriteFailed, DriveError: errno
    };

    // Starts reading the tracks of toc marked in wanted into the folder open
    // as folder, with the drive, which it takes and closes, allowing for
    // reach sectors of the drive's buffer (verify::reach_of); nullptr,
    // with error set, where it cannot start.
    static std::unique_ptr<Reader> start(cdrom_drive_t *drive, const disc::Toc &toc, const std::vector<bool> &wanted,
                                         long reach, int folder, std::string &error);
    // Stops it, as stop() does.
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Where its events come from.
    int events() const;
    // What the drive said of its last failed read, as libcdio logged it.
    std::string drive_said() const;
    // Tells it to stop at the next read and waits for it briefly, the first
    // time: one stuck in the drive is left to the end of the process.
    void stop();

    struct State;

private:
    explicit Reader(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

#endif
