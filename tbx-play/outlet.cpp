#include "outlet.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// What a shared description is written at a time once poll says it takes
// more: a pipe then takes a page without blocking, a terminal as a rule far
// more than this.
constexpr size_t kPiece = 256;

} // namespace

Outlet::Outlet(int fd) : fd_(fd)
{
    struct stat shared;
    if (fstat(fd, &shared) != 0)
        return;
    if (S_ISSOCK(shared.st_mode)) {
        how_ = How::Send;
        return;
    }
    if (!S_ISFIFO(shared.st_mode) && isatty(fd) == 0)
        return;
    // The same terminal or pipe, through a description of our own; never
    // our controlling terminal by it.
    own_ = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat ours;
    if (own_ >= 0 && (fstat(own_, &ours) != 0 || ours.st_dev != shared.st_dev || ours.st_ino != shared.st_ino)) {
        close(own_);
        own_ = -1;
    }
    // Another user's terminal, a FIFO whose reader has gone, no /proc.
    if (own_ < 0)
        how_ = How::Polled;
}

Outlet::~Outlet()
{
    if (own_ >= 0)
        close(own_);
}

void Outlet::put(const std::string &text)
{
    waiting_ += text;
    write_more();
}

bool Outlet::offer(const std::string &text)
{
    if (closed_ || !waiting_.empty())
        return false;
    const size_t taken = take(text.data(), text.size());
    if (taken > 0 && !closed_)
        waiting_.assign(text, taken);
    return taken > 0;
}

void Outlet::write_more()
{
    const size_t taken = take(waiting_.data(), waiting_.size());
    if (closed_)
        waiting_.clear();
    else
        waiting_.erase(0, taken);
}

size_t Outlet::take(const char *data, size_t size)
{
    size_t taken = 0;
    while (taken < size && !closed_) {
        const ssize_t n = write_once(data + taken, size - taken);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        closed_ = n <= 0;
        taken += closed_ ? 0 : static_cast<size_t>(n);
    }
    return taken;
}

ssize_t Outlet::write_once(const char *data, size_t size) const
{
    switch (how_) {
    case How::Send:
        return send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    case How::Polled: {
        pollfd p = {fd_, POLLOUT, 0};
        if (poll(&p, 1, 0) <= 0) {
            errno = EAGAIN;
            return -1;
        }
        return write(fd_, data, std::min(size, kPiece));
    }
    default:
        return write(fd(), data, size);
    }
}
