#include "session.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "measuring.h"
#include "pacing.h"
#include "reader.h"
#include "verify.h"

Session::Session(const Runtimes &runtimes, const Signals &signals, Progress &progress, disc::Drive &drive,
                 const cache::Place &place)
    : runtimes_(runtimes), signals_(signals), progress_(progress), drive_(drive), place_(place)
{
}

int Session::play() { return loop(nullptr, nullptr, nullptr, {}); }

int Session::read_and_play(cache::Aside &aside, cache::Place::Lock &lock)
{
    return read_again(aside, lock, std::vector<bool>(drive_.toc().played().size(), true));
}

int Session::read_again(cache::Aside &aside, cache::Place::Lock &lock, const std::vector<bool> &wanted)
{
    std::string error;
    const std::unique_ptr<Reader> reader = Reader::start(drive_.give_cdda(), drive_.toc(), wanted,
                                                         verify::reach_of(drive_.buffer_kb()), aside.fd(), error);
    if (!reader) {
        progress_.say("tbx-play: " + error + (aside.again() ? kKeptAsBefore : kNothingKept));
        return 1;
    }
    return loop(reader.get(), &aside, &lock, wanted);
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

std::string seconds_of(long samples)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(samples) / 44100);
    return text;
}

// "track 3", "tracks 3 and 5", "tracks 2, 3 and 5".
std::string tracks_named(const std::vector<int> &numbers)
{
    std::string named = numbers.size() == 1 ? "track " : "tracks ";
    for (size_t i = 0; i < numbers.size(); ++i)
        named += (i == 0 ? "" : i + 1 == numbers.size() ? " and " : ", ") + std::to_string(numbers[i]);
    return named;
}

} // namespace

std::string tracks_read_with_errors(const disc::Toc &toc, const std::vector<long> &damaged)
{
    std::vector<int> numbers;
    const std::vector<disc::Track> played = toc.played();
    for (size_t i = 0; i < played.size() && i < damaged.size(); ++i)
        if (damaged[i] > 0)
            numbers.push_back(played[i].number);
    return tracks_named(numbers);
}

std::string Session::damage(size_t track, long frames, long samples) const
{
    return "track " + std::to_string(drive_.toc().played()[track].number) + " at " + at(frames) + " (" +
           seconds_of(samples) + ")";
}

std::string Session::kept(const std::vector<bool> &wanted, bool again, const std::vector<long> &before,
                          const std::vector<long> &now, const std::vector<std::string> &places) const
{
    const std::string where = "it is kept in " + place_.folder();
    if (!again) {
        std::string said = "Read the whole disc; " + where + ".";
        for (size_t i = 0; i < places.size(); ++i)
            said += (i == 0 ? " Read with errors, and read again next time: " : ", ") + places[i];
        return said + (places.empty() ? "" : ".");
    }
    std::string said;
    const std::vector<disc::Track> played = drive_.toc().played();
    for (size_t i = 0; i < played.size(); ++i) {
        if (!wanted[i])
            continue;
        said += said.empty() ? "Read track " : "\nRead track ";
        said += std::to_string(played[i].number);
        if (now[i] == 0) {
            said += " again: it is exact now; " + where + ".";
            continue;
        }
        if (now[i] < before[i])
            said += " again: " + seconds_of(now[i]) + " read with errors, " + seconds_of(before[i]) + " before; " + where;
        else
            said += " again: no better than before; it is kept as it was in " + place_.folder();
        said += ", to be read again next time.";
    }
    return said;
}

std::string Session::failure(const Reader::Event &e, const std::string &drive_said) const
{
    const std::string track = "track " + std::to_string(drive_.toc().played()[e.track].number);
    const std::string where = " at " + at(e.frames);
    switch (e.why) {
    case Reader::Event::DiscOut:
        return "the disc was taken out of " + drive_.path() + " while " + track + " was read" + where;
    default:
        return "the drive " + drive_.path() + " could not read " + track + where + ": " +
               (drive_said.empty() ? std::strerror(e.error) : drive_said);
    }
}

int Session::loop(Reader *reader, cache::Aside *aside, cache::Place::Lock *lock, const std::vector<bool> &wanted)
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
    // Read again, tbx plays the disc as kept meanwhile: every track whole.
    const bool again = aside != nullptr && aside->again();
    Pacing pacing(frames, audio, sound_in_real_time());
    std::optional<Measuring> measuring;
    if (reader != nullptr && aside != nullptr && !again)
        measuring.emplace(aside->folder(), names);
    else
        for (size_t i = 0; i < played.size(); ++i)
            pacing.whole(i);
    // From the start, so that it has measured the tracks by the time the
    // first may play; held before its first line until then.
    std::string error;
    const std::unique_ptr<Tbx> started =
        Tbx::start(runtimes_, place_.folder(), signals_.before(), reader != nullptr && !again, error);
    std::vector<bool> placed(played.size(), again);
    bool reading = reader != nullptr;
    int read_track = 1; // among the audio tracks, from the first read
    for (size_t i = wanted.size(); i-- > 0;)
        read_track = wanted[i] && audio[i] ? ordinal[i] : read_track;
    size_t announced = 0; // tbx's track lines so far
    std::string partial;
    bool out_open = true, err_open = true; // tbx's pipes, until they hang up
    // What the read found: each track's samples read with errors, and its damaged places.
    std::vector<long> damaged(played.size(), 0);
    std::vector<std::string> places;

    // Everything started ends here, tbx first, so that it goes quiet at once;
    // what was read goes with the aside folder, unless it was kept.
    const auto end = [&](int status, const std::string &message) {
        if (started)
            started->end();
        if (reading)
            reader->stop();
        progress_.clear();
        if (!message.empty())
            progress_.say("tbx-play: " + message + (!reading ? "." : again ? kKeptAsBefore : kNothingKept));
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
            progress_.reading(read_track, audio_tracks, pacing.figures(t), again);

        std::vector<pollfd> fds = {{signals_.fd(), POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0},
                                   {err_open ? tbx.err() : -1, POLLIN, 0}, {measuring ? measuring->fd() : -1, POLLIN, 0}};
        if (reading)
            fds[1].fd = reader->events();
        if (!tbx.held() && out_open)
            fds[2].fd = tbx.out();
        // What we said that the terminal or pipe has not taken yet.
        const std::vector<int> unwritten = progress_.unwritten();
        std::transform(unwritten.begin(), unwritten.end(), std::back_inserter(fds),
                       [](int fd) { return pollfd{fd, POLLOUT, 0}; });
        // While it reads, a look a tenth of a second: what plays moves on.
        if (poll(fds.data(), fds.size(), reading ? 100 : -1) < 0) {
            if (errno == EINTR)
                continue;
            return end(1, std::string("cannot wait for tbx and the read: ") + std::strerror(errno));
        }
        progress_.write_more();

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
                return end(status, !reading ? ""
                                   : again  ? "tbx ended before " + tracks_read_with_errors(drive_.toc(), aside->before()) +
                                                 " could be read again"
                                            : "tbx ended before the disc was read");
            }
        }

        if (reading && (fds[1].revents & POLLIN) != 0) {
            Reader::Event e;
            if (read(reader->events(), &e, sizeof e) != sizeof e)
                continue;
            switch (e.kind) {
            case Reader::Event::Progress:
                if (!again)
                    pacing.read(e.track, e.frames, e.bytes);
                read_track = ordinal[e.track];
                break;
            case Reader::Event::Drive:
                pacing.drive(e.frames, e.bytes, e.samples, now());
                break;
            case Reader::Event::Retried:
                pacing.retried(now());
                break;
            case Reader::Event::Damaged:
                places.push_back(damage(e.track, e.frames, e.samples));
                progress_.damaged(std::to_string(places.size()) + (places.size() == 1 ? " place" : " places") +
                                  " read with errors");
                progress_.say("Read with errors: " + places.back() + "; the disc is damaged there.");
                break;
            case Reader::Event::Whole:
                damaged[e.track] = e.samples;
                if (again)
                    break;
                pacing.whole(e.track);
                if (!place(e.track))
                    return end(1, error);
                break;
            case Reader::Event::Done: {
                std::vector<long> keeping = damaged;
                if (!aside->keep(drive_.toc(), keeping, error))
                    return end(1, error);
                reading = false;
                lock->release();
                progress_.clear();
                progress_.say(kept(wanted, again, aside->before(), damaged, places));
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
