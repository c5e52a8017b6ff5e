#include "reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "cache.h"
#include "mp3.h"

namespace {

// What paranoia's callback, which takes no argument of ours, saw while the
// frame was read, and where it tells of retries.
thread_local bool frame_lost = false;
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

void seen(long, paranoia_cb_mode_t mode)
{
    switch (mode) {
    // A skip is paranoia giving up on a frame after its retries.
    case PARANOIA_CB_SKIP:
        frame_lost = true;
        break;
    // A frame read again: a damaged stretch, which holds the read up.
    case PARANOIA_CB_READERR:
    case PARANOIA_CB_DRIFT:
    case PARANOIA_CB_FIXUP_DROPPED:
    case PARANOIA_CB_FIXUP_DUPED:
    case PARANOIA_CB_SCRATCH:
    case PARANOIA_CB_REPAIR: {
        using Clock = std::chrono::steady_clock;
        thread_local Clock::time_point told;
        if (Clock::now() - told > std::chrono::milliseconds(500)) {
            told = Clock::now();
            tell_on(told_to, {Reader::Event::Retried, 0, 0, 0, 0});
        }
        break;
    }
    default:
        break;
    }
}

} // namespace

Reader::Reader(cdrom_drive_t *drive, const disc::Toc &toc, std::string folder)
    : drive_(drive), played_(toc.played()), folder_(std::move(folder))
{
    if (pipe2(pipe_, O_CLOEXEC) != 0)
        std::abort();
    thread_ = std::thread(&Reader::run, this);
}

Reader::~Reader()
{
    stop();
    close(pipe_[0]);
    // A thread still stuck in the drive may yet write.
    if (stopped_)
        close(pipe_[1]);
}

void Reader::stop()
{
    stopping_ = true;
    if (!thread_.joinable())
        return;
    for (int waited = 0; !stopped_ && waited < 50; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (stopped_)
        thread_.join();
    else
        thread_.detach();
}

void Reader::tell(const Event &e) { tell_on(pipe_[1], e); }

void Reader::run()
{
    told_to = pipe_[1];
    cdrom_paranoia_t *paranoia = cdio_paranoia_init(drive_);
    cdio_paranoia_modeset(paranoia, PARANOIA_MODE_FULL ^ PARANOIA_MODE_NEVERSKIP);
    cdio_paranoia_cachemodel_size(paranoia, kCacheSectors);
    bool whole = true;
    for (size_t i = 0; i < played_.size() && whole; ++i)
        whole = !played_[i].audio || read_track(paranoia, i);
    cdio_paranoia_free(paranoia);
    if (whole)
        tell({Event::Done, played_.size(), 0, 0, 0});
    stopped_ = true;
}

bool Reader::read_track(cdrom_paranoia_t *paranoia, size_t i)
{
    Event failed{Event::WriteFailed, i, 0, 0, 0};
    mp3::Encoder encoder(cache::being_read(folder_, i), played_[i].frames);
    cdio_paranoia_seek(paranoia, played_[i].start, SEEK_SET);
    tell({Event::Progress, i, 0, 0, 0});
    for (long f = 0; f < played_[i].frames; ++f) {
        if (stopping_)
            return false;
        frame_lost = false;
        const int16_t *samples = cdio_paranoia_read_limited(paranoia, seen, kRetries);
        if (samples == nullptr || frame_lost) {
            tell({Event::Unreadable, i, f, 0, 0});
            return false;
        }
        if (!encoder.add(samples)) {
            failed.error = errno;
            tell(failed);
            return false;
        }
        if ((f + 1) % kReportEvery == 0) {
            const long bytes = encoder.flush();
            if (bytes < 0) {
                failed.error = errno;
                tell(failed);
                return false;
            }
            tell({Event::Progress, i, f + 1, bytes, 0});
        }
    }
    if (!encoder.finish()) {
        failed.error = errno;
        tell(failed);
        return false;
    }
    tell({Event::Whole, i, played_[i].frames, 0, 0});
    return true;
}
