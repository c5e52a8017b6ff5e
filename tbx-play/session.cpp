#include "session.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "measuring.h"
#include "pacing.h"
#include "reader.h"

Session::Session(const Runtimes &runtimes, const Signals &signals, Progress &progress, disc::Drive &drive,
                 const cache::Place &place)
    : runtimes_(runtimes), signals_(signals), progress_(progress), drive_(drive), place_(place)
{
}

int Session::play() { return loop(nullptr, nullptr, nullptr); }

int Session::read_and_play(cache::Aside &aside, cache::Place::Lock &lock)
{
    std::string error;
    const std::unique_ptr<Reader> reader = Reader::start(drive_.give_cdda(), drive_.toc(), aside.fd(), error);
    if (!reader) {
        progress_.say("tbx-play: " + error + kNothingKept);
        return 1;
    }
    return loop(reader.get(), &aside, &lock);
}

namespace {

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Where in a track, as tbx gives lengths: minutes and seconds.
std::string at(long frames)
{
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", frames / 75 / 60, frames / 75 % 60);
    return text;
}

} // namespace

std::string Session::failure(const Reader::Event &e, const std::string &drive_said) const
{
    const std::string track = "track " + std::to_string(drive_.toc().played()[e.track].number);
    const std::string where = " at " + at(e.frames);
    switch (e.why) {
    case Reader::Event::DiscOut:
        return "the disc was taken out of " + drive_.path() + " while " + track + " was read" + where;
    case Reader::Event::DriveError:
        return "the drive " + drive_.path() + " could not read " + track + where + ": " +
               (drive_said.empty() ? std::strerror(e.error) : drive_said);
    default:
        return track + " of the disc in " + drive_.path() + " could not be read" + where +
               ": it reads differently each time";
    }
}

int Session::loop(Reader *reader, cache::Aside *aside, cache::Place::Lock *lock)
{
    const std::vector<disc::Track> played = drive_.toc().played();
    std::vector<long> frames;
    std::vector<bool> audio;
    std::vector<std::string> names; // of the audio tracks' files
    std::vector<int> ordinal;       // of each track among the audio ones, from 1
    for (const disc::Track &t : played) {
        frames.push_back(t.frames);
        audio.push_back(t.audio);
        ordinal.push_back(static_cast<int>(names.size()) + (t.audio ? 1 : 0));
        if (t.audio)
            names.push_back(cache::track_name(frames.size() - 1, true));
    }
    const int audio_tracks = static_cast<int>(names.size());
    Pacing pacing(frames, audio, sound_in_real_time());
    std::optional<Measuring> measuring;
    if (reader != nullptr)
        measuring.emplace(aside->folder(), names);
    else
        for (size_t i = 0; i < played.size(); ++i)
            pacing.whole(i);
    // From the start, so that it has measured the tracks by the time the
    // first may play; held before its first line until then.
    std::string error;
    const std::unique_ptr<Tbx> started = Tbx::start(runtimes_, place_.folder(), signals_.before(), reader != nullptr, error);
    std::vector<bool> placed(played.size(), false);
    bool reading = reader != nullptr;
    int read_track = 1; // among the audio tracks
    size_t announced = 0; // tbx's track lines so far
    std::string partial;
    bool out_open = true, err_open = true; // tbx's pipes, until they hang up

    // Everything started ends here, tbx first, so that it goes quiet at once;
    // what was read goes with the aside folder, unless it was kept.
    const auto end = [&](int status, const std::string &message) {
        if (started)
            started->end();
        if (reading)
            reader->stop();
        progress_.clear();
        if (!message.empty())
            progress_.say("tbx-play: " + message + (reading ? kNothingKept : "."));
        return status;
    };
    if (!started)
        return end(1, error);
    Tbx &tbx = *started;
    // Audio track i, as far as it is read, where tbx plays it from.
    const auto place = [&](size_t i) {
        placed[i] = placed[i] || aside->put(i, error);
        return placed[i];
    };
    // tbx's lines, passed on as they come, each track's noted as it plays;
    // after a track's line, tbx is held before the next until that one may
    // start. Its next line comes no sooner than its 100 ms settle after this
    // one: time enough to hold it first.
    const auto pass_on = [&]() {
        std::string text = partial + tbx.take();
        const size_t cut = text.rfind('\n') + 1;
        partial = text.substr(cut);
        text.resize(cut);
        for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
            if (text[at] == '\t' && announced < played.size())
                pacing.playing(announced++, now());
        if (announced < played.size() && !pacing.may_start(announced) && !tbx.held())
            tbx.hold();
        progress_.pass_on(text);
    };

    for (;;) {
        // Nobody reads what we say any more, as a pipe's reader that has
        // left: ended quietly, as by the SIGPIPE a write would have brought.
        if (progress_.closed())
            return end(128 + SIGPIPE, "");
        // What tbx may do now: go on to its next track, or pause in this one.
        const double t = now();
        if (measuring && measuring->done()) {
            pacing.measured();
            measuring.reset();
        }
        if (announced < played.size() && pacing.may_start(announced)) {
            // The track tbx goes on to, past any data track, where it plays it from.
            size_t next = announced;
            while (next < played.size() && !played[next].audio)
                ++next;
            if (reading && next < played.size() && !place(next))
                return end(1, error);
            if (tbx.held())
                tbx.release();
        }
        if (pacing.paused(t))
            tbx.pause();
        else if (tbx.paused())
            tbx.resume();
        if (reading)
            progress_.reading(read_track, audio_tracks, pacing.figures(t));

        pollfd fds[5] = {{signals_.fd(), POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0},
                         {err_open ? tbx.err() : -1, POLLIN, 0}, {measuring ? measuring->fd() : -1, POLLIN, 0}};
        if (reading)
            fds[1].fd = reader->events();
        if (!tbx.held() && out_open)
            fds[2].fd = tbx.out();
        // While it reads, a look a tenth of a second: what plays moves on.
        if (poll(fds, 5, reading ? 100 : -1) < 0) {
            if (errno == EINTR)
                continue;
            return end(1, std::string("cannot wait for tbx and the read: ") + std::strerror(errno));
        }

        if ((fds[2].revents & POLLIN) != 0)
            pass_on();
        // What SDL says on tbx's standard error, below the progress line too.
        if ((fds[3].revents & POLLIN) != 0)
            progress_.pass_on(tbx.take_err(), STDERR_FILENO);
        // A pipe tbx has closed, read to its end, has no more to say: its
        // end comes as SIGCHLD.
        out_open = out_open && (fds[2].revents & (POLLHUP | POLLERR)) == 0;
        err_open = err_open && (fds[3].revents & (POLLHUP | POLLERR)) == 0;

        if ((fds[0].revents & POLLIN) != 0) {
            const int signal = signals_.take();
            if (signal != SIGCHLD)
                return end(128 + signal, "stopped");
            if (tbx.ended()) {
                tbx.release();
                progress_.pass_on(tbx.take_err(), STDERR_FILENO);
                pass_on();
                progress_.pass_on(partial);
                const int status = *tbx.ended();
                if (progress_.closed())
                    return end(128 + SIGPIPE, "");
                // Ctrl-C and a closed terminal reach tbx too, maybe first.
                if (status == 128 + SIGINT || status == 128 + SIGTERM || status == 128 + SIGHUP)
                    return end(status, "stopped");
                return end(status, reading ? "tbx ended before the disc was read" : "");
            }
        }

        if (reading && (fds[1].revents & POLLIN) != 0) {
            Reader::Event e;
            if (read(reader->events(), &e, sizeof e) != sizeof e)
                continue;
            switch (e.kind) {
            case Reader::Event::Progress:
                pacing.read(e.track, e.frames, e.bytes, now());
                read_track = ordinal[e.track];
                break;
            case Reader::Event::Retried:
                pacing.retried(now());
                break;
            case Reader::Event::Whole:
                pacing.whole(e.track);
                if (!place(e.track))
                    return end(1, error);
                break;
            case Reader::Event::Done: {
                if (!aside->keep(drive_.toc(), error))
                    return end(1, error);
                reading = false;
                lock->release();
                progress_.clear();
                progress_.say("Read the whole disc; it is kept in " + place_.folder() + ".");
                break;
            }
            case Reader::Event::Failed:
                return end(1, e.why == Reader::Event::WriteFailed
                                  ? cache::write_failure(place_.root(), aside->folder(), e.error)
                                  : failure(e, reader->drive_said()));
            }
        }
    }
}
