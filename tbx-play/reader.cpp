#include "reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "cache.h"
#include "mp3.h"
#include "verify.h"

// All the thread uses, held by it and by the Reader alike: whichever lets
// go last frees it.
struct Reader::State {
    cdrom_drive_t *drive;
    std::vector<disc::Track> played;
    std::vector<bool> wanted;
    long reach;
    int folder = -1; // where the tracks are written, open
    int pipe[2] = {-1, -1};
    std::atomic<bool> stopping{false};
    std::atomic<bool> stopped{false};
    std::mutex said_lock;
    std::string said;

    State(cdrom_drive_t *d, std::vector<disc::Track> p, std::vector<bool> w, long r)
        : drive(d), played(std::move(p)), wanted(std::move(w)), reach(r)
    {
    }
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

using Clock = std::chrono::steady_clock;

// Frames between two reports of how far a track is read, a third of a second.
constexpr long kReportEvery = 25;
constexpr long kSamplesPerFrame = 588;
// Samples read with errors this close together are one damaged place.
constexpr long kOnePlace = 44100;

void tell_on(int fd, const Reader::Event &e)
{
    // Smaller than PIPE_BUF, so written whole.
    [[maybe_unused]] const ssize_t written = write(fd, &e, sizeof e);
}

// libcdio's last message, without its number: what it says last is what
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

// The drive as the verifier reads it; what it says of a failed read is kept.
class CdDrive : public verify::Drive {
public:
    explicit CdDrive(Reader::State &s) : s_(s) {}
    long read(long lsn, long count, unsigned char *into) override
    {
        const long got = cdio_cddap_read(s_.drive, into, static_cast<lsn_t>(lsn), count);
        if (got > 0)
            return got;
        const int error = errno;
        if (char *said = cdio_cddap_errors(s_.drive); said != nullptr) {
            const std::lock_guard<std::mutex> hold(s_.said_lock);
            s_.said = last_line(said);
            cdio_cddap_free_messages(said);
        }
        errno = error;
        return -1;
    }
    double seconds() override { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

private:
    Reader::State &s_;
};

// A drive that says there is no disc, or none it can reach, lost it.
Reader::Event::Why why_failed(int error)
{
    return error == ENOMEDIUM || error == EBADF ? Reader::Event::DiscOut : Reader::Event::DriveError;
}

// The track being encoded: its file, how far, and its damaged places.
struct Track {
    Track(size_t track, int folder, long frames_of) : i(track), encoder(folder, cache::being_read(track), frames_of) {}
    size_t i;
    mp3::Encoder encoder;
    long frames = 0;
    long damaged = 0;                        // samples read with errors
    std::optional<std::pair<long, long>> place; // the damaged place open: its samples, from and to
};

class Reading {
public:
    explicit Reading(Reader::State &s) : s_(s), drive_(s) {}

    // False once the run must end, which it has told.
    bool run()
    {
        std::vector<verify::Span> wanted, audio;
        for (size_t i = 0; i < s_.played.size(); ++i) {
            const disc::Track &t = s_.played[i];
            if (!t.audio)
                continue;
            audio.push_back({t.start, t.frames});
            if (s_.wanted[i])
                wanted.push_back({t.start, t.frames});
        }
        verify::Verifier verifier(drive_, wanted, audio, s_.reach);
        Clock::time_point told_drive{}, told_again{};
        for (verify::Stretch ready;;) {
            if (s_.stopping)
                return false;
            const verify::Verifier::Step step = verifier.step(ready);
            const Clock::time_point now = Clock::now();
            switch (step) {
            case verify::Verifier::Step::Again:
                if (now - told_again > std::chrono::milliseconds(500)) {
                    told_again = now;
                    tell({Reader::Event::Retried, 0, 0, 0, 0, Reader::Event::None, 0});
                }
                [[fallthrough]];
            case verify::Verifier::Step::Read:
                if (now - told_drive > std::chrono::milliseconds(100)) {
                    told_drive = now;
                    tell({Reader::Event::Drive, 0, verifier.reads(), verifier.work(), verifier.work_total(),
                          Reader::Event::None, 0});
                }
                break;
            case verify::Verifier::Step::Ready:
                if (!take(ready))
                    return false;
                break;
            case verify::Verifier::Step::Done:
                tell({Reader::Event::Drive, 0, verifier.reads(), verifier.work(), verifier.work_total(),
                      Reader::Event::None, 0});
                return true;
            case verify::Verifier::Step::Failed: {
                const int error = errno;
                const size_t i = track_at(verifier.failed_at());
                return fail(i, verifier.failed_at() - s_.played[i].start, why_failed(error), error);
            }
            }
        }
    }

private:
    void tell(const Reader::Event &e) const { tell_on(s_.pipe[1], e); }

    bool fail(size_t i, long at, Reader::Event::Why why, int error) const
    {
        tell({Reader::Event::Failed, i, at, 0, 0, why, error});
        return false;
    }

    size_t track_at(long lsn) const
    {
        size_t i = 0;
        while (i + 1 < s_.played.size() && s_.played[i + 1].start <= lsn)
            ++i;
        return i;
    }

    // A stretch verified: into its track's file, its damage noted.
    bool take(const verify::Stretch &ready)
    {
        const size_t i = track_at(ready.lsn);
        if (!track_ || track_->i != i)
            track_.emplace(i, s_.folder, s_.played[i].frames);
        Track &t = *track_;
        const long first = (ready.lsn - s_.played[i].start) * kSamplesPerFrame;
        for (const auto &[from, to] : ready.unsure)
            damaged(t, first + from / 4, first + (to + 3) / 4);
        const long frames = static_cast<long>(ready.data.size()) / verify::kSectorBytes;
        for (long f = 0; f < frames; ++f) {
            if (!t.encoder.add(reinterpret_cast<const short *>(ready.data.data() + f * verify::kSectorBytes)))
                return fail(i, t.frames, Reader::Event::WriteFailed, errno);
            if (++t.frames % kReportEvery == 0) {
                const long bytes = t.encoder.flush();
                if (bytes < 0)
                    return fail(i, t.frames, Reader::Event::WriteFailed, errno);
                tell({Reader::Event::Progress, i, t.frames, bytes, 0, Reader::Event::None, 0});
            }
        }
        if (t.frames < s_.played[i].frames)
            return true;
        close_place(t);
        if (!t.encoder.finish())
            return fail(i, t.frames, Reader::Event::WriteFailed, errno);
        tell({Reader::Event::Whole, i, t.frames, 0, t.damaged, Reader::Event::None, 0});
        return true;
    }

    void damaged(Track &t, long from, long to) const
    {
        t.damaged += to - from;
        if (t.place && from <= t.place->second + kOnePlace) {
            t.place->second = to;
            return;
        }
        close_place(t);
        t.place = {from, to};
    }

    void close_place(Track &t) const
    {
        if (t.place)
            tell({Reader::Event::Damaged, t.i, t.place->first / kSamplesPerFrame, 0, t.place->second - t.place->first,
                  Reader::Event::None, 0});
        t.place.reset();
    }

    Reader::State &s_;
    CdDrive drive_;
    std::optional<Track> track_;
};

void run(const std::shared_ptr<Reader::State> &state)
{
    Reader::State &s = *state;
    const bool whole = Reading(s).run();
    // The tray opens again once the disc is read.
    cdio_cddap_close(s.drive);
    s.drive = nullptr;
    if (whole)
        tell_on(s.pipe[1], {Reader::Event::Done, s.played.size(), 0, 0, 0, Reader::Event::None, 0});
    s.stopped = true;
}

} // namespace

std::unique_ptr<Reader> Reader::start(cdrom_drive_t *drive, const disc::Toc &toc, const std::vector<bool> &wanted,
                                      long reach, int folder, std::string &error)
{
    auto state = std::make_shared<State>(drive, toc.played(), wanted, reach);
    // Its own, to outlast the folder's owner if need be.
    state->folder = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (state->folder < 0 || pipe2(state->pipe, O_CLOEXEC) != 0) {
        error = std::string("cannot start the read: ") + std::strerror(errno);
        return nullptr;
    }
    // The drive's own words on a failed read, kept for us to ask for. A
    // read it fails is tried again by the verifier, once the drive has
    // read its buffer's worth since, not at once and eight times over.
    cdio_cddap_verbose_set(drive, CDDA_MESSAGE_LOGIT, CDDA_MESSAGE_FORGETIT);
    drive->error_retry = 0;
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
