#include "measuring.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

Measuring::Measuring(const std::string &folder, std::vector<std::string> names)
    : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), left_(std::move(names))
{
    if (fd_ >= 0 && inotify_add_watch(fd_, folder.c_str(), IN_CLOSE_NOWRITE | IN_ONLYDIR) < 0) {
        close(fd_);
        fd_ = -1;
    }
}

Measuring::~Measuring()
{
    if (fd_ >= 0)
        close(fd_);
}

bool Measuring::done()
{
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (ssize_t n; fd_ >= 0 && (n = read(fd_, buffer, sizeof buffer)) > 0;) {
        for (char *at = buffer; at < buffer + n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(at);
            if (e->len > 0)
                left_.erase(std::remove(left_.begin(), left_.end(), std::string(e->name)), left_.end());
            at += sizeof(inotify_event) + e->len;
        }
    }
    if (fd_ >= 0 && left_.empty()) {
        close(fd_);
        fd_ = -1;
    }
    return left_.empty();
}
