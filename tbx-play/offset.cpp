#include "offset.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// "pos:" of the descriptor's fdinfo, -1 where there is none.
long position(int fdinfo, const char *fd)
{
    const int info = openat(fdinfo, fd, O_RDONLY | O_CLOEXEC);
    if (info < 0)
        return -1;
    char text[256];
    const ssize_t n = read(info, text, sizeof text - 1);
    close(info);
    if (n <= 0)
        return -1;
    text[n] = '\0';
    const char *pos = std::strstr(text, "pos:");
    return pos != nullptr ? std::strtol(pos + 4, nullptr, 10) : -1;
}

} // namespace

long offset_in(pid_t pid, dev_t device, ino_t inode)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    const int fdinfo = open((proc + "/fdinfo").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *fds = opendir((proc + "/fd").c_str());
    long furthest = -1;
    for (const dirent *e; fds != nullptr && fdinfo >= 0 && (e = readdir(fds)) != nullptr;) {
        struct stat st;
        // Through the link, to the file it is open on.
        if (e->d_name[0] == '.' || fstatat(dirfd(fds), e->d_name, &st, 0) != 0 || st.st_dev != device ||
            st.st_ino != inode)
            continue;
        const long pos = position(fdinfo, e->d_name);
        furthest = pos > furthest ? pos : furthest;
    }
    if (fds != nullptr)
        closedir(fds);
    if (fdinfo >= 0)
        close(fdinfo);
    return furthest;
}
