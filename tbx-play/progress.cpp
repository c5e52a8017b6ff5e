#include "progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

// Why the music waits, in words.
std::string why(Pacing::Wait wait)
{
    return wait == Pacing::Wait::Retries ? "the drive reads a damaged stretch again"
                                         : "the drive reads slower than real time";
}

void put(int fd, const std::string &text)
{
    for (size_t at = 0; at < text.size();) {
        const ssize_t n = write(fd, text.data() + at, text.size() - at);
        if (n <= 0)
            return;
        at += static_cast<size_t>(n);
    }
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

void Progress::reading(int k, int n, const Pacing::Figures &f)
{
    const std::string track = "track " + std::to_string(k) + " of " + std::to_string(n);
    if (!live_) {
        if (k != track_)
            put(STDERR_FILENO, "Reading " + track + "\n");
        if (f.wait != Pacing::Wait::None && wait_ == Pacing::Wait::None)
            put(STDERR_FILENO, "The music waits for the read: " + why(f.wait) + ".\n");
        track_ = k;
        wait_ = f.wait;
        return;
    }
    char figures[64] = "";
    if (f.speed > 0)
        std::snprintf(figures, sizeof figures, " at %.1fx real time", f.speed);
    std::string line = "Reading " + track + ": " + std::to_string(f.percent) + "% of the disc" + figures;
    if (f.wait != Pacing::Wait::None)
        line += "; the music waits: " + why(f.wait);
    else
        line += ", " + std::to_string(static_cast<long>(f.ahead)) + " s ahead of the music";
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

bool Progress::pass_on(const std::string &text, int fd) const
{
    // The progress line is on the terminal standard error goes to.
    const bool below = fd == STDERR_FILENO || same_;
    if (text.empty())
        return true;
    if (below)
        erase();
    bool written = true;
    for (size_t at = 0; at < text.size() && written;) {
        const ssize_t n = write(fd, text.data() + at, text.size() - at);
        written = n > 0;
        at += written ? static_cast<size_t>(n) : 0;
    }
    if (below)
        draw();
    return written;
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
