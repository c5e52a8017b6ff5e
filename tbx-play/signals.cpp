#include "signals.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <initializer_list>

Signals::Signals()
{
    // Inherited as ignored, it would have the kernel reap tbx unseen.
    signal(SIGCHLD, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &before_);
    // A closed output is an error where it is written.
    signal(SIGPIPE, SIG_IGN);
    fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0)
        std::abort();
}

Signals::~Signals() { close(fd_); }

int Signals::take() const
{
    signalfd_siginfo info;
    return read(fd_, &info, sizeof info) == sizeof info ? static_cast<int>(info.ssi_signo) : 0;
}

int Signals::wait(int ms) const
{
    pollfd p = {fd_, POLLIN, 0};
    const int ready = poll(&p, 1, ms);
    return ready > 0 ? take() : ready < 0 && errno != EINTR ? -1 : 0;
}

void Signals::die_by(int signal) const
{
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
}
