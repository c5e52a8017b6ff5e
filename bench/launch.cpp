// launch FILE PROGRAM [ARG...]: writes the CLOCK_MONOTONIC time in
// nanoseconds to FILE, then becomes PROGRAM. The time is read as late as
// possible, so that it marks the start of PROGRAM's process.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    const int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::string ns = std::to_string(ts.tv_sec * 1000000000LL + ts.tv_nsec) + "\n";
    if (write(fd, ns.data(), ns.size()) != static_cast<ssize_t>(ns.size()) || close(fd) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    execv(argv[2], argv + 2);
    std::perror(argv[2]);
    return 127;
}
