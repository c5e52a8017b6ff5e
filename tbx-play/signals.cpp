#include "signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>

Signals::Signals()
{
    // Inherited as ignored, it would have the kernel reap tbx unseen.
    signal(SIGCHLD, SIG_DFL);
    // A closed output is an error where it is written.
    signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_SETMASK, nullptr, &before_);
}

Signals::~Signals()
{
    if (fd_ >= 0)
        close(fd_);
}

bool Signals::block(std::string &error)
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&set, s);
    fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) {
        error = std::string("cannot take signals: ") + std::strerror(errno);
        return false;
    }
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return true;
}

int Signals::take() const
{
    signalfd_siginfo info;
    return read(fd_, &info, sizeof info) == sizeof info ? static_cast<int>(info.ssi_signo) : 0;
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
