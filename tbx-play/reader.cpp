#include "reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "cache.h"
#include "mp3.h"

// All the thread uses, held by it and by the Reader alike: whichever lets
// go last frees it.
struct Reader::State {
    cdrom_drive_t *drive;
    std::vector<disc::Track> played;
    int folder = -1; // where the tracks are written, open
    int pipe[2] = {-1, -1};
    std::atomic<bool> stopping{false};
    std::atomic<bool> stopped{false};
    std::mutex said_lock;
    std::string said;

    State(cdrom_drive_t *d, std::vector<disc::Track> p) : drive(d), played(std::move(p)) {}
    ~State()
    {
        if (drive != nullptr)
            cdio_cddap_close(drive);
        for (const int fd : {folder, pipe[0], pipe[1]})
            if (fd >= 0)
                close(fd);
    }
    State(const State &) = delete;
    State &operator=(const State &) = delete;
};

namespace {

// What paranoia's callback, which takes no argument of ours, saw while the
// frame was read, and where it tells of retries.
thread_local bool frame_lost = false;
thread_local long lost_at = -1;  // the sector it gave up on, or last failed to read
thread_local int read_error = 0; // errno of the drive's last failed read
thread_local int told_to = -1;

// cd-paranoia's own limit on reading a frame again.
constexpr int kRetries = 20;
// Paranoia reads as far as the drive's cache may reach before it reads a
// stretch again to verify it, and gives nothing back before: its default,
// 1200 sectors (16 s of audio, 2.8 MB), held back the first sound 8 s at 4x.
// 600 sectors (8 s, 1.4 MB) is more than most drives cache of audio, comes
// back in 4 s at 4x, and holds enough for sdl12-compat's first two reads.
constexpr int kCacheSectors = 600;
// Frames between two reports of how far a track is read, a third of a second.
constexpr long kReportEvery = 25;

void tell_on(int fd, const Reader::Event &e)
{
    // Smaller than PIPE_BUF, so written whole.
    [[maybe_unused]] const ssize_t written = write(fd, &e, sizeof e);
}

void seen(long position, paranoia_cb_mode_t mode)
{
    switch (mode) {
    // A skip is paranoia giving up on a frame after its retries.
    case PARANOIA_CB_SKIP:
        frame_lost = true;
        lost_at = position / CD_FRAMEWORDS;
        break;
    // The drive failed the read itself; errno is still the system's answer.
    case PARANOIA_CB_READERR:
        read_error = errno != 0 ? errno : EIO;
        lost_at = frame_lost ? lost_at : position / CD_FRAMEWORDS;
        [[fallthrough]];
    // A frame read again: a damaged stretch, which holds the read up.
    case PARANOIA_CB_DRIFT:
    case PARANOIA_CB_FIXUP_DROPPED:
    case PARANOIA_CB_FIXUP_DUPED:
    case PARANOIA_CB_SCRATCH:
    case PARANOIA_CB_REPAIR: {
        using Clock = std::chrono::steady_clock;
        thread_local Clock::time_point told;
        if (Clock::now() - told > std::chrono::milliseconds(500)) {
            told = Clock::now();
            tell_on(told_to, {Reader::Event::Retried, 0, 0, 0, Reader::Event::None, 0});
        }
        break;
    }
    default:
        break;
    }
}

// Paranoia's last message, without its number: what it says last is what
// ended the read.
std::string last_line(const std::string &log)
{
    const size_t end = log.find_last_not_of(" \n");
    if (end == std::string::npos)
        return "";
    const size_t begin = log.rfind('\n', end) + 1;
    std::string line = log.substr(begin, end + 1 - begin);
    const size_t colon = line.find(": ");
    if (colon != std::string::npos && line.find_first_not_of("0123456789") == colon)
        line.erase(0, colon + 2);
    return line;
}

// Why a frame was lost: a drive that says there is no disc, or none it can
// reach, lost it; one that failed otherwise, a drive error; one that read
// it but never the same twice, paranoia gave up on.
Reader::Event::Why why_lost(int error)
{
    if (error == ENOMEDIUM || error == EBADF)
        return Reader::Event::DiscOut;
    return error != 0 ? Reader::Event::DriveError : Reader::Event::GivenUp;
}

// False once the run must end, which it has told.
bool read_track(Reader::State &s, cdrom_paranoia_t *paranoia, size_t i)
{
    const auto fail = [&](long at, Reader::Event::Why why, int error) {
        tell_on(s.pipe[1], {Reader::Event::Failed, i, at, 0, why, error});
        return false;
    };
    if (s.stopping)
        return false;
    mp3::Encoder encoder(s.folder, cache::being_read(i), s.played[i].frames);
    cdio_paranoia_seek(paranoia, s.played[i].start, SEEK_SET);
    tell_on(s.pipe[1], {Reader::Event::Progress, i, 0, 0, Reader::Event::None, 0});
    for (long f = 0; f < s.played[i].frames; ++f) {
        if (s.stopping)
            return false;
        frame_lost = false;
        lost_at = -1;
        read_error = 0;
        // Only what the drive says of this frame is told.
        if (char *before = cdio_cddap_errors(s.drive); before != nullptr)
            cdio_cddap_free_messages(before);
        const int16_t *samples = cdio_paranoia_read_limited(paranoia, seen, kRetries);
        if (samples == nullptr || frame_lost) {
            // A drive gone takes paranoia's read with it, with no callback.
            const int error = read_error != 0 ? read_error : samples == nullptr ? errno : 0;
            if (char *said = cdio_cddap_errors(s.drive); said != nullptr) {
                const std::lock_guard<std::mutex> hold(s.said_lock);
                s.said = last_line(said);
                cdio_cddap_free_messages(said);
            }
            const long start = s.played[i].start;
            const long at = lost_at >= start && lost_at < start + s.played[i].frames ? lost_at - start : f;
            return fail(at, why_lost(error), error);
        }
        if (!encoder.add(samples))
            return fail(f, Reader::Event::WriteFailed, errno);
        if ((f + 1) % kReportEvery == 0) {
            const long bytes = encoder.flush();
            if (bytes < 0)
                return fail(f, Reader::Event::WriteFailed, errno);
            tell_on(s.pipe[1], {Reader::Event::Progress, i, f + 1, bytes, Reader::Event::None, 0});
        }
    }
    if (!encoder.finish())
        return fail(s.played[i].frames, Reader::Event::WriteFailed, errno);
    tell_on(s.pipe[1], {Reader::Event::Whole, i, s.played[i].frames, 0, Reader::Event::None, 0});
    return true;
}

void run(const std::shared_ptr<Reader::State> &state)
{
    Reader::State &s = *state;
    told_to = s.pipe[1];
    cdrom_paranoia_t *paranoia = cdio_paranoia_init(s.drive);
    cdio_paranoia_modeset(paranoia, PARANOIA_MODE_FULL ^ PARANOIA_MODE_NEVERSKIP);
    cdio_paranoia_cachemodel_size(paranoia, kCacheSectors);
    bool whole = true;
    for (size_t i = 0; i < s.played.size() && whole; ++i)
        whole = !s.played[i].audio || read_track(s, paranoia, i);
    cdio_paranoia_free(paranoia);
    // The tray opens again once the disc is read.
    cdio_cddap_close(s.drive);
    s.drive = nullptr;
    if (whole)
        tell_on(s.pipe[1], {Reader::Event::Done, s.played.size(), 0, 0, Reader::Event::None, 0});
    s.stopped = true;
}

} // namespace

std::unique_ptr<Reader> Reader::start(cdrom_drive_t *drive, const disc::Toc &toc, int folder, std::string &error)
{
    auto state = std::make_shared<State>(drive, toc.played());
    // Its own, to outlast the folder's owner if need be.
    state->folder = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (state->folder < 0 || pipe2(state->pipe, O_CLOEXEC) != 0) {
        error = std::string("cannot start the read: ") + std::strerror(errno);
        return nullptr;
    }
    // The drive's own words on a failed read, kept for us to ask for.
    cdio_cddap_verbose_set(drive, CDDA_MESSAGE_LOGIT, CDDA_MESSAGE_FORGETIT);
    try {
        std::thread(run, state).detach();
    } catch (const std::system_error &e) {
        error = std::string("cannot start the read: ") + e.what();
        return nullptr;
    }
    return std::unique_ptr<Reader>(new Reader(std::move(state)));
}

Reader::~Reader() { stop(); }

int Reader::events() const { return state_->pipe[0]; }

std::string Reader::drive_said() const
{
    const std::lock_guard<std::mutex> hold(state_->said_lock);
    return state_->said;
}

void Reader::stop()
{
    // Once: a second stop finds it stopped, or stuck.
    if (state_->stopping.exchange(true))
        return;
    for (int waited = 0; !state_->stopped && waited < 50; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
