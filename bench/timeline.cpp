// timeline PROGRAM [ARG...]: runs PROGRAM with its standard output and error
// into one pipe, and prints each line it writes after the seconds since it
// started ("2.315 Read the whole disc; ..."); last, "end STATUS CPU RSS":
// its exit status, the CPU seconds (user and system) and the peak resident
// KiB of it and of the children it waited for.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    int out[2];
    if (pipe(out) != 0) {
        std::perror("pipe");
        return 1;
    }
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        execv(argv[1], argv + 1);
        std::perror(argv[1]);
        _exit(127);
    }
    close(out[1]);
    std::FILE *lines = fdopen(out[0], "r");
    std::string line;
    for (int c; (c = std::fgetc(lines)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        const std::chrono::duration<double> at = std::chrono::steady_clock::now() - started;
        std::printf("%.3f %s\n", at.count(), line.c_str());
        line.clear();
    }
    int status = 0;
    rusage used{};
    wait4(pid, &status, 0, &used);
    const double cpu = static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                       static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
    std::printf("end %d %.2f %ld\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), cpu,
                used.ru_maxrss);
    return 0;
}
