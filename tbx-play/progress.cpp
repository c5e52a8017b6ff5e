#include "progress.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// Why the music waits, in words.
std::string why(Pacing::Wait wait)
{
    return wait == Pacing::Wait::Retries ? "the drive reads a damaged stretch again"
                                         : "the drive reads slower than real time";
}

bool same_file(int a, int b)
{
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace

Progress::Progress()
    : live_(isatty(STDERR_FILENO) != 0), same_(live_ && same_file(STDOUT_FILENO, STDERR_FILENO))
{
}

void Progress::reading(int k, int n, const Pacing::Figures &f, bool again)
{
    const std::string track = "track " + std::to_string(k) + " of " + std::to_string(n);
    const bool waits = f.wait == Pacing::Wait::Drive || f.wait == Pacing::Wait::Retries;
    if (!live_) {
        if (k != track_)
            put(STDERR_FILENO, "Reading " + track + "\n");
        if (waits && wait_ == Pacing::Wait::None)
            put(STDERR_FILENO, "The music waits for the read: " + why(f.wait) + ".\n");
        track_ = k;
        wait_ = waits ? f.wait : Pacing::Wait::None;
        return;
    }
    char figures[64] = "";
    if (f.speed > 0)
        std::snprintf(figures, sizeof figures, " at %.1fx real time", f.speed);
    std::string line = "Reading " + track + (again ? " again: " : ": ") + std::to_string(f.percent) +
                       (again ? "%" : "% of the disc") + figures;
    // Read again, the music plays as kept: nothing waits for it.
    if (!again)
        line += f.wait == Pacing::Wait::Start ? "; verifying the first seconds"
                : waits ? "; the music waits: " + why(f.wait)
                        : ", " + std::to_string(static_cast<long>(f.ahead)) + " s ahead of the music";
    if (!damage_.empty())
        line += "; " + damage_;
    if (line != line_) {
        line_ = line;
        draw();
    }
}

void Progress::clear()
{
    erase();
    line_.clear();
}

void Progress::say(const std::string &line) const
{
    erase();
    put(STDERR_FILENO, line + "\n");
    draw();
}

void Progress::pass_on(const std::string &text, int fd) const
{
    // The progress line is on the terminal standard error goes to.
    const bool below = fd == STDERR_FILENO || same_;
    if (text.empty())
        return;
    if (below)
        erase();
    put(fd, text);
    if (below)
        draw();
}

void Progress::put(int fd, const std::string &text) const
{
    for (size_t at = 0; at < text.size() && !closed_;) {
        const ssize_t n = write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        // Left non-blocking by whoever shares it: waited for, briefly.
        if (n < 0 && errno == EAGAIN) {
            pollfd p = {fd, POLLOUT, 0};
            if (poll(&p, 1, 1000) > 0)
                continue;
        }
        // Read no more (a pipe's reader gone, a terminal hung up): what was
        // to be said is lost, and so is the point of playing on.
        closed_ = n <= 0;
        at += closed_ ? 0 : static_cast<size_t>(n);
    }
}

void Progress::erase() const
{
    if (live_ && !line_.empty())
        put(STDERR_FILENO, "\r\033[K");
}

void Progress::draw() const
{
    if (live_ && !line_.empty())
        put(STDERR_FILENO, "\r" + line_ + "\033[K");
}
