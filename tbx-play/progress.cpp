#include "progress.h"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>

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

Progress::Progress(int out, int err) : live_(isatty(err) != 0), err_(err)
{
    // One file, one queue: what goes to it stays in the order it was said.
    if (!same_file(out, err))
        out_.emplace(out);
}

void Progress::reading(int k, int n, const Pacing::Figures &f, bool again)
{
    const std::string track = "track " + std::to_string(k) + " of " + std::to_string(n);
    const bool waits = f.wait == Pacing::Wait::Drive || f.wait == Pacing::Wait::Retries;
    if (!live_) {
        if (k != track_)
            err_.put("Reading " + track + "\n");
        if (waits && wait_ == Pacing::Wait::None)
            err_.put("The music waits for the read: " + why(f.wait) + ".\n");
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
    stale_ = false;
}

void Progress::say(const std::string &line)
{
    erase();
    err_.put(line + "\n");
    draw();
}

void Progress::pass_on(const std::string &text, int fd)
{
    // The progress line is on the terminal standard error goes to.
    const bool below = fd == STDERR_FILENO || !out_;
    if (text.empty())
        return;
    if (below)
        erase();
    to(fd).put(text);
    if (below)
        draw();
}

bool Progress::closed() const { return err_.closed() || (out_ && out_->closed()); }

std::vector<int> Progress::unwritten() const
{
    std::vector<int> fds;
    if (!closed() && (err_.waiting() || stale_))
        fds.push_back(err_.fd());
    if (!closed() && out_ && out_->waiting())
        fds.push_back(out_->fd());
    return fds;
}

void Progress::write_more()
{
    err_.write_more();
    if (out_)
        out_->write_more();
    if (stale_)
        draw();
}

int Progress::finish(const Signals &signals, int within_ms)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(within_ms);
    clear();
    for (;;) {
        write_more();
        const std::vector<int> waiting = unwritten();
        std::vector<pollfd> fds = {{signals.fd(), POLLIN, 0}};
        std::transform(waiting.begin(), waiting.end(), std::back_inserter(fds),
                       [](int fd) { return pollfd{fd, POLLOUT, 0}; });
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (fds.size() == 1 || (within_ms >= 0 && left <= 0))
            return 0;
        if (poll(fds.data(), fds.size(), within_ms < 0 ? -1 : static_cast<int>(left)) > 0 &&
            (fds[0].revents & POLLIN) != 0) {
            // tbx's end may still be there to take; it ends nothing here.
            const int signal = signals.take();
            if (signal != 0 && signal != SIGCHLD)
                return signal;
        }
    }
}

void Progress::erase()
{
    if (live_ && drawn_) {
        err_.put("\r\033[K");
        drawn_ = false;
    }
}

void Progress::draw()
{
    if (!live_ || line_.empty())
        return;
    stale_ = !err_.offer("\r" + line_ + "\033[K");
    drawn_ = drawn_ || !stale_;
}
