#ifndef TBX_PLAY_PROGRESS_H
#define TBX_PLAY_PROGRESS_H

// What tbx-play tells the user, on standard error, around tbx's own lines
// on standard output. On a terminal the read's progress is one line kept
// below tbx's lines, redrawn as it moves: how much of the disc is read, how
// fast the drive reads, how far ahead of the music, why the music waits
// when it does, and what was read with errors; elsewhere, a line per track
// and a line per wait.
#include <string>

#include "pacing.h"

class Progress {
public:
    Progress();
    ~Progress() { clear(); }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // The read is at audio track k of n, or reads it again while the disc
    // plays as kept; the figures of it.
    void reading(int k, int n, const Pacing::Figures &f, bool again = false);
    // What the read has found damaged so far, for the progress line.
    void damaged(const std::string &note) { damage_ = note; }
    // The read has ended: the progress line goes.
    void clear();
    // A line of our own.
    void say(const std::string &line) const;
    // tbx's output, passed on to fd (ours of the same name).
    void pass_on(const std::string &text, int fd = 1) const;
    // Standard output or error is closed: a write to it has failed.
    bool closed() const { return closed_; }

private:
    void put(int fd, const std::string &text) const;
    void erase() const;
    void draw() const;

    bool live_;       // standard error is a terminal
    bool same_;       // and standard output goes to it too
    std::string line_; // the progress line, "" when none
    int track_ = 0;
    Pacing::Wait wait_ = Pacing::Wait::None;
    std::string damage_;
    mutable bool closed_ = false;
};

#endif
