#ifndef TBX_PLAY_PROGRESS_H
#define TBX_PLAY_PROGRESS_H

// What tbx-play tells the user, on standard error, around tbx's own lines
// on standard output. On a terminal the read's progress is one line kept
// below tbx's lines, redrawn as it moves: how much of the disc is read, how
// fast the drive reads, how far ahead of the music, why the music waits
// when it does, and what was read with errors; elsewhere, a line per track
// and a line per wait.
//
// Nothing here waits for an output to take what is written (outlet.h): a
// line, ours or tbx's, waits its turn, in order; a redraw of the progress
// line that the terminal does not take is dropped, and drawn afresh once
// what waits is written.
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "outlet.h"
#include "pacing.h"
#include "signals.h"

class Progress {
public:
    explicit Progress(int out = STDOUT_FILENO, int err = STDERR_FILENO);
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
    void say(const std::string &line);
    // tbx's output, passed on to fd (ours of the same name).
    void pass_on(const std::string &text, int fd = STDOUT_FILENO);
    // Standard output or error is closed: a write to it has failed.
    bool closed() const;

    // Our outputs that have something waiting for them to take more: to be
    // polled for POLLOUT, then write_more().
    std::vector<int> unwritten() const;
    // Writes what they take now.
    void write_more();
    // The run ends: the progress line goes and what waits is written,
    // waited for, for at most within_ms where that is not negative. A
    // signal that ends a run (signals.h) ends the wait at once: that
    // signal, else 0.
    int finish(const Signals &signals, int within_ms = -1);

private:
    Outlet &to(int fd) { return fd == STDERR_FILENO || !out_ ? err_ : *out_; }
    void erase();
    void draw();

    bool live_;        // standard error is a terminal
    Outlet err_;
    std::optional<Outlet> out_; // none where it is the same file as err_
    std::string line_; // the progress line, "" when none
    bool drawn_ = false; // last written to the terminal, erased by nothing since
    bool stale_ = false; // to be drawn once what waits is written
    int track_ = 0;
    Pacing::Wait wait_ = Pacing::Wait::None;
    std::string damage_;
};

#endif
