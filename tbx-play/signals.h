#ifndef TBX_PLAY_SIGNALS_H
#define TBX_PLAY_SIGNALS_H

// The signals that end a run (Ctrl-C, SIGTERM, a closed terminal) and tbx's
// end, taken as events on a descriptor rather than in a handler. Made
// first, before any thread, so that every thread blocks them.
#include <signal.h>

class Signals {
public:
    Signals();
    ~Signals();
    Signals(const Signals &) = delete;
    Signals &operator=(const Signals &) = delete;

    int fd() const { return fd_; }
    // The next signal that came, 0 if none.
    int take() const;
    // Waits up to ms for one; 0 if none came, -1 with errno where it cannot wait.
    int wait(int ms) const;
    // Ends the process by signal, at its default action, as the caller
    // would have seen it end without us in between; returns only if that
    // does not end it.
    void die_by(int signal) const;
    // The mask from before, for the programs we start.
    const sigset_t &before() const { return before_; }

private:
    int fd_;
    sigset_t before_;
};

#endif
