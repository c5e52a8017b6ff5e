// listen --tracks DIR [--timeout S] PROGRAM [ARG...]: runs PROGRAM, in this
// environment, playing through a PipeWire of its own into a null sink
// (SDL's PipeWire driver), the sink's monitor recorded; once it has ended,
// matches the recording against the tracks of the disc kept under DIR (the
// cache's tbx/ folder), decoded by mpg123, and prints, seconds counted from
// PROGRAM's start:
//
//   status 0
//   first 5.214                     the first track's first frame heard
//   track 1 pauses 1 0.620 lost 0 twice 0 wrong 0
//   pause 1 9.830 0.620 3.300       track 1's music went on at 9.83 s, after
//                                   0.62 s, 3.30 s into it
//   twice 1 1280 239.828            1280 frames of track 1 heard twice,
//                                   239.83 s into it (or lost)
//
// PROGRAM's own output goes to standard error, and last the matcher's
// account of each track. The servers and PROGRAM are
// stopped on every way out: PROGRAM on SIGINT, SIGTERM or SIGHUP, which
// are then this program's status, or after S seconds (600); both if this
// program is killed.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "matcher.h"
#include "process.h"
#include "sound_server.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using matcher::Event;

volatile sig_atomic_t stopped_by = 0;

void stop(int signal) { stopped_by = signal; }

double seconds_of(long frames) { return static_cast<double>(frames) / matcher::kRate; }

matcher::Pcm read_pcm(const std::string &path)
{
    const std::string bytes = read_file(path);
    matcher::Pcm pcm(bytes.size() / 2);
    std::copy_n(bytes.data(), pcm.size() * 2, reinterpret_cast<char *>(pcm.data()));
    return pcm;
}

// Each track kept under dir, in order, as mpg123 decodes it; none if any fails.
std::vector<matcher::Pcm> kept_tracks(const std::string &dir, const TempDir &scratch)
{
    std::vector<std::string> mp3s;
    std::error_code none;
    for (const auto &disc : fs::directory_iterator(dir, none))
        if (disc.is_directory())
            for (const auto &file : fs::directory_iterator(disc.path(), none))
                if (file.path().extension() == ".mp3")
                    mp3s.push_back(file.path());
    std::sort(mp3s.begin(), mp3s.end());
    std::vector<matcher::Pcm> tracks;
    for (const std::string &mp3 : mp3s) {
        Spawn decode;
        decode.argv = {MPG123, "-q", "-s", "-e", "s16", mp3};
        decode.stdout_path = scratch / "decoded";
        if (run_process(decode).status != 0)
            return {};
        tracks.push_back(read_pcm(scratch / "decoded"));
    }
    return tracks;
}

// PROGRAM in a process group of its own, with the player's environment on
// top of this one, output to standard error; SIGTERM should we die first.
pid_t start(char *argv[], const Env &player)
{
    std::vector<std::string> args;
    for (char **a = argv; *a != nullptr; ++a)
        args.emplace_back(*a);
    args = sound::first_served(args);
    std::vector<char *> pointers;
    for (std::string &a : args)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(126);
        setpgid(0, 0);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        unsetenv("SDL_DISKAUDIOFILE");
        for (const auto &[name, value] : player)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        execv(pointers[0], pointers.data());
        std::perror(pointers[0]);
        _exit(127);
    }
    if (pid > 0)
        setpgid(pid, pid);
    return pid;
}

// Waits for pid; on a signal to us or past the timeout, stops its group
// (SIGTERM, then SIGKILL 5 s on). Its wait status.
int wait_for(pid_t pid, double timeout_s)
{
    const auto started = Clock::now();
    std::chrono::steady_clock::time_point termed{};
    bool killed = false;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        const bool late = std::chrono::duration<double>(Clock::now() - started).count() > timeout_s;
        if ((stopped_by != 0 || late) && termed == Clock::time_point{}) {
            kill(-pid, SIGTERM);
            termed = Clock::now();
        } else if (!killed && termed != Clock::time_point{} && Clock::now() - termed > std::chrono::seconds(5)) {
            kill(-pid, SIGKILL);
            killed = true;
        }
        usleep(10000);
    }
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    std::string tracks_dir;
    double timeout_s = 600;
    int first = 1;
    for (; first + 1 < argc && argv[first][0] == '-'; first += 2) {
        if (std::strcmp(argv[first], "--tracks") == 0)
            tracks_dir = argv[first + 1];
        else if (std::strcmp(argv[first], "--timeout") == 0)
            timeout_s = std::atof(argv[first + 1]);
        else
            break;
    }
    if (first >= argc || tracks_dir.empty()) {
        std::fprintf(stderr, "usage: %s --tracks DIR [--timeout S] PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    struct sigaction action = {};
    action.sa_handler = stop;
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &action, nullptr);

    int status = 0;
    double start_at = 0;
    std::vector<matcher::Pcm> tracks;
    matcher::Pcm recorded;
    {
        const TempDir dir;
        {
            const sound::Session session(sound::Server::PipeWire);
            if (!session.error().empty()) {
                std::fprintf(stderr, "listen: %s\n", session.error().c_str());
                return 1;
            }
            sound::Session::Recording recording(session, dir / "recording");
            for (int waited = 0; !recording.begun() && waited < 500 && stopped_by == 0; ++waited)
                usleep(10000);
            if (!recording.begun() || stopped_by != 0) {
                std::fprintf(stderr, "listen: %s\n%s", stopped_by != 0 ? "stopped" : "the sink's monitor gave nothing",
                             session.logs().c_str());
                return stopped_by != 0 ? 128 + stopped_by : 1;
            }
            const auto started = Clock::now();
            const pid_t pid = start(argv + first, session.player(sound::Driver::PipeWire));
            if (pid < 0) {
                std::perror("listen: fork");
                return 1;
            }
            status = wait_for(pid, timeout_s);
            recording.stop();
            start_at = recording.at(started);
        }
        if (stopped_by != 0) {
            std::fprintf(stderr, "listen: stopped\n");
            return 128 + stopped_by;
        }
        tracks = kept_tracks(tracks_dir, dir);
        recorded = read_pcm(dir / "recording");
    }
    // Nothing left to stop or remove: a signal may end us as it would.
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        signal(s, SIG_DFL);
    if (stopped_by != 0)
        return 128 + stopped_by;
    std::printf("status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    if (tracks.empty()) {
        std::fprintf(stderr, "listen: no track kept under %s to match\n", tracks_dir.c_str());
        return 1;
    }
    const std::vector<matcher::Track> heard = matcher::match(recorded, tracks);
    if (heard[0].first >= 0)
        std::printf("first %.3f\n", seconds_of(heard[0].first) - start_at);
    for (size_t i = 0; i < heard.size(); ++i) {
        const matcher::Track &t = heard[i];
        std::printf("track %zu pauses %ld %.3f lost %ld twice %ld wrong %ld\n", i + 1, t.count(Event::Pause),
                    seconds_of(t.total(Event::Pause)), t.total(Event::Lost), t.total(Event::Twice),
                    t.total(Event::Wrong));
        std::fprintf(stderr, "listen: track %zu: %s\n", i + 1, matcher::describe(t).c_str());
        for (const Event &e : t.events)
            if (e.kind == Event::Pause)
                std::printf("pause %zu %.3f %.3f %.3f\n", i + 1, seconds_of(e.heard + e.frames) - start_at,
                            seconds_of(e.frames), seconds_of(e.at));
            else if (e.kind != Event::Wrong)
                std::printf("%s %zu %ld %.3f\n", e.kind == Event::Lost ? "lost" : "twice", i + 1, e.frames,
                            seconds_of(e.at));
    }
    return 0;
}
