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
// frame was read.
thread_local bool frame_lost = false;

void seen(long, paranoia_cb_mode_t mode)
{
    // A skip is paranoia giving up on a frame after its retries.
    if (mode == PARANOIA_CB_SKIP)
        frame_lost = true;
}

// cd-paranoia's own limit on reading a frame again.
constexpr int kRetries = 20;

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

void Reader::tell(const Event &e)
{
    // Smaller than PIPE_BUF, so written whole.
    [[maybe_unused]] const ssize_t written = write(pipe_[1], &e, sizeof e);
}

void Reader::run()
{
    cdrom_paranoia_t *paranoia = cdio_paranoia_init(drive_);
    cdio_paranoia_modeset(paranoia, PARANOIA_MODE_FULL ^ PARANOIA_MODE_NEVERSKIP);
    long frames_read = 0;
    bool whole = true;
    for (size_t i = 0; i < played_.size() && whole; ++i)
        whole = !played_[i].audio || read_track(paranoia, i, frames_read);
    cdio_paranoia_free(paranoia);
    if (whole)
        tell({Event::Done, played_.size(), frames_read, 0});
    stopped_ = true;
}

bool Reader::read_track(cdrom_paranoia_t *paranoia, size_t i, long &frames_read)
{
    const std::string file = cache::track_file(folder_, i, true);
    const std::string part = file + ".part";
    Event failed{Event::WriteFailed, i, frames_read, 0};
    {
        mp3::Encoder encoder(part, played_[i].frames);
        cdio_paranoia_seek(paranoia, played_[i].start, SEEK_SET);
        tell({Event::Progress, i, frames_read, 0});
        for (long f = 0; f < played_[i].frames; ++f) {
            if (stopping_)
                return false;
            frame_lost = false;
            const int16_t *samples = cdio_paranoia_read_limited(paranoia, seen, kRetries);
            if (samples == nullptr || frame_lost) {
                tell({Event::Unreadable, i, frames_read, 0});
                return false;
            }
            if (!encoder.add(samples)) {
                failed.error = errno;
                tell(failed);
                return false;
            }
            // A second of audio at a time.
            if (++frames_read % 75 == 0)
                tell({Event::Progress, i, frames_read, 0});
        }
        if (!encoder.finish()) {
            failed.error = errno;
            tell(failed);
            return false;
        }
    }
    // Over its stand-in, whole.
    if (rename(part.c_str(), file.c_str()) != 0) {
        failed.error = errno;
        tell(failed);
        return false;
    }
    tell({Event::Whole, i, frames_read, 0});
    return true;
}
