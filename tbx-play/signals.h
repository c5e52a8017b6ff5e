#ifndef TBX_PLAY_SIGNALS_H
#define TBX_PLAY_SIGNALS_H

// The signals that end a run (Ctrl-C, SIGTERM, a closed terminal) and tbx's
// end. Until there is something to clean up, they end the process at once,
// at their default action, whatever step of the start it is in, a drive
// slow to answer too; from then on they are events on a descriptor rather
// than in a handler, taken in the one loop. Made first, before any thread,
// so that every thread started after block() blocks them.
#include <signal.h>

#include <string>

class Signals {
public:
    Signals();
    ~Signals();
    Signals(const Signals &) = delete;
    Signals &operator=(const Signals &) = delete;

    // From now on the signals come through fd(); false, with error set, if
    // they cannot.
    bool block(std::string &error);
    int fd() const { return fd_; }
    // The next signal that came, 0 if none.
    int take() const;
    // Ends the process by signal, at its default action, as the caller
    // would have seen it end without us in between; returns only if that
    // does not end it.
    void die_by(int signal) const;
    // The mask from before, for the programs we start.
    const sigset_t &before() const { return before_; }

private:
    int fd_ = -1;
    sigset_t before_;
};

#endif
