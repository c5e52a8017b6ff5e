#ifndef TBX_PLAY_SESSION_H
#define TBX_PLAY_SESSION_H

// tbx playing a disc from the cache, or while it is read: the one loop that
// waits for signals, the reader's events and tbx's lines, and that ends
// everything it started on every way out.
#include <string>

#include "cache.h"
#include "disc.h"
#include "progress.h"
#include "reader.h"
#include "signals.h"
#include "tbx.h"

// How a message on a read that ended before the disc was whole ends.
inline const std::string kNothingKept = "; nothing was kept, the next run reads the disc again.";

class Session {
public:
    Session(const Runtimes &runtimes, const Signals &signals, Progress &progress, disc::Drive &drive,
            const cache::Place &place);

    // Plays the disc kept in the folder; tbx's exit status, or 128 and the
    // signal that stopped it.
    int play();
    // Reads the disc into the place aside is linked from, starting tbx as
    // soon as its first audio track is whole, and keeps it once it is whole.
    // tbx's exit status; 1 for a fault, which it names; 128 and the signal.
    int read_and_play(cache::Aside &aside, cache::Place::Lock &lock);

private:
    int loop(Reader *reader, cache::Aside *aside, cache::Place::Lock *lock);
    // What a failed read is called.
    std::string failure(const Reader::Event &e, const std::string &drive_said) const;

    const Runtimes &runtimes_;
    const Signals &signals_;
    Progress &progress_;
    disc::Drive &drive_;
    const cache::Place &place_;
};

#endif
