#ifndef TBX_PLAY_SESSION_H
#define TBX_PLAY_SESSION_H

// tbx playing a disc from the cache, or while it is read: the one loop that
// waits on its sources (signals, the reader's events, tbx's output and
// errors, the watch on the tracks' measuring, our own outputs where they
// have not taken all we said), hands each to its handler, and ends
// everything it started on every way out.
#include <string>
#include <vector>

#include "cache.h"
#include "disc.h"
#include "progress.h"
#include "reader.h"
#include "signals.h"
#include "tbx.h"

// How a message on a read that ended before the disc was whole ends; and
// on one of tracks read again.
inline const std::string kNothingKept = "; nothing was kept, the next run reads the disc again.";
inline const std::string kKeptAsBefore = "; the disc is kept as it was read before.";

// "track 3", "tracks 3 and 5": those of toc's played tracks with errors.
std::string tracks_read_with_errors(const disc::Toc &toc, const std::vector<long> &damaged);

class Session {
public:
    Session(const Runtimes &runtimes, const Signals &signals, Progress &progress, disc::Drive &drive,
            const cache::Place &place);

    // Plays the disc kept in the folder; tbx's exit status, or 128 and the
    // signal that stopped it.
    int play();
    // Reads the disc into the place aside is linked from, starting tbx as
    // soon as enough of its first audio track is read, and keeps it once it
    // is whole, its tracks read with errors marked. tbx's exit status; 1 for
    // a fault, which it names; 128 and the signal.
    int read_and_play(cache::Aside &aside, cache::Place::Lock &lock);
    // Plays the disc kept in the folder while the tracks marked in wanted
    // are read again into aside, and keeps the better reading of each.
    int read_again(cache::Aside &aside, cache::Place::Lock &lock, const std::vector<bool> &wanted);

private:
    class Run;
    int loop(Reader *reader, cache::Aside *aside, cache::Place::Lock *lock, const std::vector<bool> &wanted);
    // What a failed read is called.
    std::string failure(const Reader::Event &e, const std::string &drive_said) const;
    // Where track (by played index) was read with errors: at frames, samples long.
    std::string damage(size_t track, long frames, long samples) const;
    // What is said once the tracks wanted are read and kept, with what was
    // found damaged, before and now.
    std::string kept(const std::vector<bool> &wanted, bool again, const std::vector<long> &before,
                     const std::vector<long> &now, const std::vector<std::string> &places) const;

    const Runtimes &runtimes_;
    const Signals &signals_;
    Progress &progress_;
    disc::Drive &drive_;
    const cache::Place &place_;
};

#endif
