// timeline [--sound FILE [--stop-after S]] PROGRAM [ARG...]: runs PROGRAM
// with its standard output and error into one pipe, and prints each line
// it writes after the seconds since it started ("2.315 Read the whole disc;
// ..."); last, "end STATUS CPU RSS": its exit status, the CPU seconds (user
// and system) and the peak resident KiB of it and of the children it
// waited for.
//
// With --sound, it watches FILE, the recording SDL's disk audio driver
// writes (32-bit float), as it grows: "sound T" when a sample first sounds
// (above -60 dBFS), and before the end line "stalls N SECONDS": how often,
// and for how long in all, the recording stopped growing for more than
// 0.2 s after that, which is when the player was stopped, each noted as it
// ends: "T stall S at P", growing again at T after S seconds, P seconds of
// the recording past its first sound. --stop-after sends PROGRAM SIGINT S
// seconds after the first sound.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::mutex printing;

// Follows the recording until told to stop.
void watch(const std::string &file, Clock::time_point started, double stop_after, pid_t pid,
           const std::atomic<bool> &done, int &stalls, double &stalled)
{
    std::ifstream in;
    double sound = -1, last_growth = 0;
    std::streamoff read = 0, sounded = 0;
    std::vector<float> samples(1 << 14);
    bool stopped = false;
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const double now = since(started);
        if (!in.is_open())
            in.open(file, std::ios::binary);
        bool grew = false;
        const std::streamoff before = read;
        while (in.is_open()) {
            in.clear();
            in.seekg(read);
            in.read(reinterpret_cast<char *>(samples.data()), static_cast<std::streamsize>(samples.size() * 4));
            const std::streamsize got = in.gcount() / 4;
            if (got <= 0)
                break;
            grew = true;
            read += got * 4;
            for (std::streamsize i = 0; i < got && sound < 0; ++i)
                if (std::fabs(samples[static_cast<size_t>(i)]) > 1e-3F) {
                    sound = last_growth = now;
                    sounded = read - got * 4 + i * 4;
                    const std::lock_guard<std::mutex> lock(printing);
                    std::printf("%.3f sound\n", now);
                    std::fflush(stdout);
                }
        }
        if (sound < 0)
            continue;
        if (grew) {
            if (now - last_growth > 0.2) {
                ++stalls;
                stalled += now - last_growth;
                // 32-bit float stereo at 44100 Hz.
                const double at = static_cast<double>(before - sounded) / (8 * 44100);
                const std::lock_guard<std::mutex> lock(printing);
                std::printf("%.3f stall %.3f at %.3f\n", now, now - last_growth, at);
                std::fflush(stdout);
            }
            last_growth = now;
        }
        if (stop_after >= 0 && !stopped && now - sound >= stop_after) {
            kill(-pid, SIGINT);
            stopped = true;
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    int first = 1;
    std::string sound;
    double stop_after = -1;
    for (; first + 1 < argc && argv[first][0] == '-'; first += 2) {
        if (std::strcmp(argv[first], "--sound") == 0)
            sound = argv[first + 1];
        else if (std::strcmp(argv[first], "--stop-after") == 0)
            stop_after = std::atof(argv[first + 1]);
        else
            break;
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: %s [--sound FILE [--stop-after S]] PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    int out[2];
    if (pipe(out) != 0) {
        std::perror("pipe");
        return 1;
    }
    const auto started = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        // A process group of its own, for --stop-after.
        setpgid(0, 0);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        execv(argv[first], argv + first);
        std::perror(argv[first]);
        _exit(127);
    }
    setpgid(pid, pid);
    close(out[1]);
    std::atomic<bool> done{false};
    int stalls = 0;
    double stalled = 0;
    std::thread watching;
    if (!sound.empty())
        watching = std::thread(watch, sound, started, stop_after, pid, std::cref(done), std::ref(stalls), std::ref(stalled));
    std::FILE *lines = fdopen(out[0], "r");
    std::string line;
    for (int c; (c = std::fgetc(lines)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        const std::lock_guard<std::mutex> lock(printing);
        std::printf("%.3f %s\n", since(started), line.c_str());
        line.clear();
    }
    int status = 0;
    rusage used{};
    wait4(pid, &status, 0, &used);
    done = true;
    if (watching.joinable()) {
        watching.join();
        std::printf("stalls %d %.2f\n", stalls, stalled);
    }
    const double cpu = static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                       static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
    std::printf("end %d %.2f %ld\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), cpu,
                used.ru_maxrss);
    return 0;
}
