// tbx-play: plays the audio CD in the drive digitally, with tbx on
// sdl12-compat's emulated drive, reading it while it plays and keeping it
// for next time. Its manual page, tbx-play(1), says what it does when.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "cache.h"
#include "disc.h"
#include "progress.h"
#include "session.h"
#include "signals.h"
#include "tbx.h"

namespace {

const char *const kUsage = "usage: tbx-play [--which-drive]\n";

// How long a run stopped by a signal waits for its last words to be taken.
constexpr int kSaidWithin = 250;

int cannot_write_out(int error)
{
    std::fprintf(stderr, "tbx-play: cannot write to standard output: %s.\n", std::strerror(error));
    return 1;
}

// The signal a run's status says stopped it, SIGPIPE's for an output
// nobody reads; 0 for none.
int stopped_by(int status)
{
    static const int kEnds[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    const int *signal = std::find(std::begin(kEnds), std::end(kEnds), status - 128);
    return signal == std::end(kEnds) ? 0 : *signal;
}

int play(Signals &signals, Progress &progress)
{
    // Every fault is named once, where it is found, in a message of its
    // own; said here, with how it ends.
    const auto fail = [&](const std::string &why, const std::string &end = ".") {
        progress.say("tbx-play: " + why + end);
        return 1;
    };
    const Runtimes runtimes = Runtimes::find();
    const std::optional<std::string> path = disc::find_drive();
    if (!path)
        return fail("no CD drive here: none is named by SDL_CDROM, nor at /dev/cdrom, /dev/sr*, /dev/scd*");
    if (!runtimes.compat_installed())
        return fail("sdl12-compat, which tbx plays the disc on, is not installed in " + runtimes.compat +
                    ": install the package " + runtimes.compat_package);

    std::string error;
    disc::Drive drive(*path);
    switch (drive.open(error)) {
    case disc::Opened::Denied:
    case disc::Opened::Failed:
        return fail(error);
    case disc::Opened::NoDisc:
        // tbx says so, on the drive's path, where sdl12-compat finds no tracks.
        progress.finish(signals);
        exec_tbx(runtimes.tbx, {libraries_first(runtimes.compat), {"SDL12COMPAT_FAKE_CDROM_PATH", *path}},
                 signals.before());
    case disc::Opened::NoAudio:
        progress.say("Playing the disc in " + *path + " through the drive's own output: it holds no audio track.");
        progress.finish(signals);
        if (runtimes.classic.empty())
            exec_tbx(runtimes.tbx, {}, signals.before());
        exec_tbx(runtimes.tbx, {libraries_first(runtimes.classic)}, signals.before());
    case disc::Opened::Audio:
        break;
    }
    const std::string id = drive.id(error);
    if (id.empty())
        return fail(error);

    cache::Root root;
    if (!root.open(cache::Root::where(), error))
        return fail(error);
    cache::sweep(root);
    const cache::Place place(root, id);
    cache::Place::Lock lock(place);
    using Taken = cache::Place::Lock::Taken;
    Taken taken = lock.take(error);
    if (taken == Taken::Held)
        progress.say("tbx-play: another tbx-play is reading the disc in " + *path + "; waiting for it.");
    while (taken == Taken::Held) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        progress.write_more();
        taken = lock.take(error);
    }
    if (taken == Taken::Failed)
        return fail(error);
    Session session(runtimes, signals, progress, drive, place);
    const std::optional<std::vector<long>> kept = place.kept(drive.toc());
    // The tracks kept that were read with errors, to be read again.
    std::vector<bool> wanted(kept ? kept->size() : 0);
    if (kept)
        std::transform(kept->begin(), kept->end(), wanted.begin(), [](long damaged) { return damaged > 0; });
    const std::string read_before = "Playing the disc in " + *path + ", read before, from " + place.folder();
    if (kept && std::find(wanted.begin(), wanted.end(), true) == wanted.end()) {
        lock.release();
        drive.close();
        // tbx is ours to end from here.
        if (!signals.block(error))
            return fail(error);
        progress.say(read_before + ".");
        return session.play();
    }
    struct stat st;
    if (!kept && lstat(place.folder().c_str(), &st) == 0) {
        progress.say("tbx-play: " + place.folder() + " does not hold the whole disc; reading it again.");
        if (!place.clear(error))
            return fail(error);
    }
    if (drive.cdda(error) == nullptr)
        return fail(error);
    // What is read from here is ours to take out.
    if (!signals.block(error))
        return fail(error);
    if (kept) {
        // Only what was read with errors is read again, while the disc plays as kept.
        const std::string damaged = tracks_read_with_errors(drive.toc(), *kept);
        progress.say(read_before + "; reading again what was read with errors there: " + damaged + ".");
        const std::unique_ptr<cache::Aside> aside = cache::Aside::again(place, drive.toc(), wanted, *kept, error);
        if (!aside)
            return fail(error, kKeptAsBefore);
        return session.read_again(*aside, lock, wanted);
    }
    progress.say("Reading the disc in " + *path + " into " + place.folder() +
                 "; it plays while it is read.");
    const std::unique_ptr<cache::Aside> aside = cache::Aside::make(place, drive.toc(), error);
    if (!aside)
        return fail(error, kNothingKept);
    return session.read_and_play(*aside, lock);
}

} // namespace

int main(int argc, char **argv)
{
    // A standard descriptor left closed would be the next one we open, and
    // what we say would go into the drive or the cache: each gets
    // /dev/null. Standard error is only for our words; standard output is
    // what we are run for.
    bool out_closed = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0) {
            out_closed = out_closed || fd == STDOUT_FILENO;
            if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd)
                return 1;
        }
    if (out_closed)
        return cannot_write_out(EBADF);
    if (argc == 2 && std::strcmp(argv[1], "--which-drive") == 0) {
        const std::optional<std::string> path = disc::find_drive();
        if (path && (std::printf("%s\n", path->c_str()) < 0 || std::fflush(stdout) != 0))
            return cannot_write_out(errno);
        return path ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 1) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // First: SIGCHLD and SIGPIPE set as we need them before anything runs;
    // the rest taken on a descriptor, once blocked, before any thread starts.
    Signals signals;
    Progress progress;
    int status = play(signals, progress);
    int by = stopped_by(status);
    // What is still to be said is written, however long the output takes
    // it, unless a signal comes meanwhile; a stop ends within a second,
    // said or not.
    const int signal = progress.finish(signals, by != 0 ? kSaidWithin : -1);
    if (by == 0 && signal != 0) {
        by = signal;
        status = 128 + signal;
    }
    // Stopped by a signal, once all is ended: by that signal, so that what
    // started us stops too, as a shell does on Ctrl-C.
    if (by != 0)
        signals.die_by(by);
    return status;
}
