#include "session.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "reader.h"

Session::Session(const Runtimes &runtimes, const Signals &signals, Progress &progress, disc::Drive &drive,
                 const cache::Place &place)
    : runtimes_(runtimes), signals_(signals), progress_(progress), drive_(drive), place_(place)
{
}

int Session::play() { return loop(nullptr, nullptr, nullptr); }

int Session::read_and_play(cache::Aside &aside, cache::Place::Lock &lock)
{
    Reader reader(drive_.cdda(), drive_.toc(), aside.folder());
    return loop(&reader, &aside, &lock);
}

int Session::loop(Reader *reader, cache::Aside *aside, cache::Place::Lock *lock)
{
    const std::vector<disc::Track> played = drive_.toc().played();
    // Which of tbx's tracks may be played: a data track's file is there from
    // the start, an audio track's once it has been read.
    std::vector<bool> whole;
    long audio_frames = 0;
    int audio_tracks = 0;
    for (const disc::Track &t : played) {
        whole.push_back(reader == nullptr || !t.audio);
        audio_frames += t.audio ? t.frames : 0;
        audio_tracks += t.audio ? 1 : 0;
    }
    std::optional<Tbx> tbx;
    if (reader == nullptr)
        tbx.emplace(runtimes_, place_.folder(), signals_.before());
    bool reading = reader != nullptr;
    size_t announced = 0; // tbx's track lines so far
    std::string partial;

    // Everything started ends here, tbx first, so that it goes quiet at once;
    // what was read goes with the aside folder, unless it was kept.
    const auto end = [&](int status, const std::string &message) {
        if (tbx)
            tbx->end();
        if (reading)
            reader->stop();
        progress_.clear();
        if (!message.empty())
            progress_.say("tbx-play: " + message + (reading ? kNothingKept : "."));
        return status;
    };
    // tbx's lines, passed on as they come; after a track's line, tbx waits
    // for the next track to be whole. Its next line comes no sooner than
    // its 100 ms settle after this one: time enough to hold it first.
    const auto pass_on = [&]() {
        std::string text = partial + tbx->take();
        const size_t cut = text.rfind('\n') + 1;
        partial = text.substr(cut);
        text.resize(cut);
        for (size_t at = 0; at < text.size();) {
            const size_t next = text.find('\n', at) + 1;
            announced += text[at] == '\t' ? 1 : 0;
            at = next;
        }
        if (announced < whole.size() && !whole[announced] && !tbx->held())
            tbx->hold();
        return progress_.pass_on(text);
    };

    for (;;) {
        pollfd fds[4] = {{signals_.fd(), POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
        if (reading)
            fds[1].fd = reader->events();
        if (tbx && !tbx->held())
            fds[2].fd = tbx->out();
        if (tbx)
            fds[3].fd = tbx->err();
        if (poll(fds, 4, -1) < 0)
            continue;

        if ((fds[2].revents & POLLIN) != 0 && !pass_on())
            return end(128 + SIGPIPE, "standard output was closed; stopped");
        // What SDL says on tbx's standard error, below the progress line too.
        if ((fds[3].revents & POLLIN) != 0)
            progress_.pass_on(tbx->take_err(), STDERR_FILENO);

        if ((fds[0].revents & POLLIN) != 0) {
            const int signal = signals_.take();
            if (signal != SIGCHLD)
                return end(128 + signal, "stopped");
            if (tbx && tbx->ended()) {
                tbx->release();
                progress_.pass_on(tbx->take_err(), STDERR_FILENO);
                const bool out = pass_on() && progress_.pass_on(partial);
                const int status = *tbx->ended();
                if (!out)
                    return end(128 + SIGPIPE, "standard output was closed; stopped");
                // Ctrl-C and a closed terminal reach tbx too, maybe first.
                if (status == 128 + SIGINT || status == 128 + SIGTERM || status == 128 + SIGHUP)
                    return end(status, "stopped");
                return end(status, reading ? "tbx ended before the disc was read" : "");
            }
        }

        if ((fds[1].revents & POLLIN) != 0) {
            Reader::Event e;
            if (read(reader->events(), &e, sizeof e) != sizeof e)
                continue;
            switch (e.kind) {
            case Reader::Event::Progress: {
                int k = 0;
                for (size_t i = 0; i <= e.track; ++i)
                    k += played[i].audio ? 1 : 0;
                progress_.reading(k, audio_tracks, static_cast<int>(100 * e.frames / std::max(audio_frames, 1L)));
                break;
            }
            case Reader::Event::Whole:
                whole[e.track] = true;
                // Read in order: the first track whole is the first audio track.
                if (!tbx)
                    tbx.emplace(runtimes_, place_.folder(), signals_.before());
                if (tbx && tbx->held() && whole[announced])
                    tbx->release();
                break;
            case Reader::Event::Done: {
                std::string error;
                if (!aside->keep(drive_.toc(), error))
                    return end(1, error);
                reading = false;
                lock->release();
                drive_.close();
                progress_.clear();
                progress_.say("Read the whole disc; it is kept in " + place_.folder() + ".");
                break;
            }
            case Reader::Event::Unreadable:
                return end(1, "track " + std::to_string(played[e.track].number) + " of the disc in " + drive_.path() +
                                  " could not be read");
            case Reader::Event::WriteFailed:
                return end(1, cache::write_failure(place_.root(), aside->folder(), e.error));
            }
        }
    }
}
