#include "session.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
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
#include "offset.h"
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

// One run of tbx, and of the read where there is one: what the loop keeps,
// and a handler for each source it waits on. Each handler may end the run
// (finish()); the loop then ends.
class Session::Run {
public:
    Run(const Session &session, Reader *reader, cache::Aside *aside, cache::Place::Lock *lock,
        const std::vector<bool> &wanted);
    int go();

private:
    // A source the loop waits on: its descriptor, -1 while it has none,
    // and what is done once it is ready.
    struct Source {
        const char *name;
        int fd;
        short events;
        void (Run::*ready)(short revents);
    };
    std::vector<Source> sources() const;

    // What tbx may do now, and what the progress line says: each time round.
    void pace();
    // The handlers.
    void signal(short revents);
    void output(short revents);
    void errors(short revents);
    void event(short revents);
    void watch(short revents);
    void said(short revents);

    // tbx's lines passed on; those of its tracks noted as they play, and tbx
    // held before the next track while that one may not start yet.
    void pass_on();
    // Audio track i, as far as it is read, where tbx plays it from.
    bool place(size_t i);
    // Where tbx stands in the file of the track being read; -1 where it has
    // none open.
    long tbx_offset(size_t track) const;
    void on_tbx_end();
    // Ends everything started, tbx first, so that it goes quiet at once; what
    // was read goes with the aside folder, unless it was kept.
    void finish(int status, const std::string &message);

    const Session &session_;
    Reader *reader_;
    cache::Aside *aside_;
    cache::Place::Lock *lock_;
    const std::vector<bool> &wanted_;
    const std::vector<disc::Track> played_;
    std::vector<int> ordinal_; // of each track among the audio ones, from 1
    int audio_tracks_ = 0;
    bool again_;               // tbx plays the disc as kept meanwhile: every track whole
    Pacing pacing_;
    std::optional<Measuring> measuring_;
    std::unique_ptr<Tbx> tbx_;
    std::vector<bool> placed_;
    bool reading_;
    int read_track_ = 1;      // among the audio tracks
    size_t announced_ = 0;    // tbx's track lines so far
    std::string partial_;     // of its line
    bool out_open_ = true, err_open_ = true; // tbx's pipes, until they hang up
    // What the read found: each track's samples read with errors, and its damaged places.
    std::vector<long> damaged_;
    std::vector<std::string> places_;
    std::optional<int> ended_;
};

namespace {

std::vector<long> frames_of(const std::vector<disc::Track> &played)
{
    std::vector<long> frames(played.size());
    std::transform(played.begin(), played.end(), frames.begin(), [](const disc::Track &t) { return t.frames; });
    return frames;
}

std::vector<bool> audio_of(const std::vector<disc::Track> &played)
{
    std::vector<bool> audio(played.size());
    std::transform(played.begin(), played.end(), audio.begin(), [](const disc::Track &t) { return t.audio; });
    return audio;
}

} // namespace

Session::Run::Run(const Session &session, Reader *reader, cache::Aside *aside, cache::Place::Lock *lock,
                  const std::vector<bool> &wanted)
    : session_(session), reader_(reader), aside_(aside), lock_(lock), wanted_(wanted),
      played_(session.drive_.toc().played()), again_(aside != nullptr && aside->again()),
      pacing_(frames_of(played_), audio_of(played_), sound_in_real_time()), placed_(played_.size(), again_),
      reading_(reader != nullptr), damaged_(played_.size(), 0)
{
    std::vector<std::string> names; // of the audio tracks' files
    for (size_t i = 0; i < played_.size(); ++i) {
        ordinal_.push_back(audio_tracks_ + (played_[i].audio ? 1 : 0));
        if (played_[i].audio) {
            names.push_back(cache::track_name(i, true));
            ++audio_tracks_;
        }
    }
    if (reading_ && !again_)
        measuring_.emplace(aside_->folder(), names);
    else
        for (size_t i = 0; i < played_.size(); ++i)
            pacing_.whole(i);
    for (size_t i = wanted_.size(); i-- > 0;)
        read_track_ = wanted_[i] && played_[i].audio ? ordinal_[i] : read_track_;
}

int Session::loop(Reader *reader, cache::Aside *aside, cache::Place::Lock *lock, const std::vector<bool> &wanted)
{
    return Run(*this, reader, aside, lock, wanted).go();
}

int Session::Run::go()
{
    // From the start, so that it has measured the tracks by the time the
    // first may play; held before its first line until then.
    std::string error;
    tbx_ = Tbx::start(session_.runtimes_, session_.place_.folder(), session_.signals_.before(), reading_ && !again_,
                      error);
    if (!tbx_) {
        finish(1, error);
        return *ended_;
    }
    while (!ended_) {
        pace();
        if (ended_)
            break;
        const std::vector<Source> ready = sources();
        std::vector<pollfd> fds(ready.size());
        std::transform(ready.begin(), ready.end(), fds.begin(), [](const Source &s) { return pollfd{s.fd, s.events, 0}; });
        // While it reads, a look a tenth of a second: what plays moves on.
        if (poll(fds.data(), fds.size(), reading_ ? 100 : -1) < 0) {
            if (errno != EINTR)
                finish(1, std::string("cannot wait for tbx and the read: ") + std::strerror(errno));
            continue;
        }
        for (size_t i = 0; i < fds.size() && !ended_; ++i) {
            // Closed under us: nothing more would ever come from it.
            if ((fds[i].revents & POLLNVAL) != 0)
                finish(1, std::string("cannot wait for ") + ready[i].name + ": " + std::strerror(EBADF));
            else if (fds[i].revents != 0)
                (this->*ready[i].ready)(fds[i].revents);
        }
        // Whatever woke us, what waits to be said goes as far as it may.
        session_.progress_.write_more();
    }
    return *ended_;
}

std::vector<Session::Run::Source> Session::Run::sources() const
{
    std::vector<Source> all = {
        // Signals first: a stop is taken before anything else that came.
        {"signals", session_.signals_.fd(), POLLIN, &Run::signal},
        {"the read's events", reading_ ? reader_->events() : -1, POLLIN, &Run::event},
        // Held, tbx's next line stays in its pipe, and tbx with it.
        {"tbx's output", !tbx_->held() && out_open_ ? tbx_->out() : -1, POLLIN, &Run::output},
        {"tbx's errors", err_open_ ? tbx_->err() : -1, POLLIN, &Run::errors},
        {"the tracks' measuring", measuring_ ? measuring_->fd() : -1, POLLIN, &Run::watch},
    };
    // What we said that the terminal or pipe has not taken yet.
    const std::vector<int> unwritten = session_.progress_.unwritten();
    std::transform(unwritten.begin(), unwritten.end(), std::back_inserter(all),
                   [](int fd) { return Source{"what we say", fd, POLLOUT, &Run::said}; });
    std::vector<Source> ready;
    std::copy_if(all.begin(), all.end(), std::back_inserter(ready), [](const Source &s) { return s.fd >= 0; });
    return ready;
}

long Session::Run::tbx_offset(size_t track) const
{
    struct stat st;
    if (!placed_[track] || fstatat(aside_->fd(), cache::track_name(track, true).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    return offset_in(tbx_->pid(), st.st_dev, st.st_ino);
}

void Session::Run::pace()
{
    // Nobody reads what we say any more, as a pipe's reader that has left:
    // ended quietly, as by the SIGPIPE a write would have brought.
    if (session_.progress_.closed())
        return finish(128 + SIGPIPE, "");
    watch(0);
    const double t = now();
    if (reading_ && !again_) {
        const size_t track = pacing_.reading();
        if (!pacing_.is_whole(track))
            pacing_.taken(tbx_offset(track));
    }
    if (announced_ < played_.size() && pacing_.may_start(announced_, t)) {
        // The track tbx goes on to, past any data track, where it plays it from.
        size_t next = announced_;
        while (next < played_.size() && !played_[next].audio)
            ++next;
        if (reading_ && next < played_.size() && !place(next))
            return;
        if (tbx_->held())
            tbx_->release();
    }
    if (pacing_.paused(t))
        tbx_->pause();
    else if (tbx_->paused())
        tbx_->resume();
    if (reading_)
        session_.progress_.reading(read_track_, audio_tracks_, pacing_.figures(t), again_);
}

bool Session::Run::place(size_t i)
{
    std::string error;
    placed_[i] = placed_[i] || aside_->put(i, error);
    if (!placed_[i])
        finish(1, error);
    return placed_[i];
}

void Session::Run::pass_on()
{
    // tbx's next line comes no sooner than its 100 ms settle after a
    // track's: time enough to hold it first.
    std::string text = partial_ + tbx_->take();
    const size_t cut = text.rfind('\n') + 1;
    partial_ = text.substr(cut);
    text.resize(cut);
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
        if (text[at] == '\t' && announced_ < played_.size())
            pacing_.playing(announced_++, now());
    if (announced_ < played_.size() && !pacing_.may_start(announced_, now()) && !tbx_->held())
        tbx_->hold();
    session_.progress_.pass_on(text);
}

void Session::Run::output(short revents)
{
    if ((revents & POLLIN) != 0)
        pass_on();
    // A pipe tbx has closed, read to its end, has no more to say: its end
    // comes as SIGCHLD.
    out_open_ = (revents & (POLLHUP | POLLERR)) == 0;
}

void Session::Run::errors(short revents)
{
    // What SDL says on tbx's standard error, below the progress line too.
    if ((revents & POLLIN) != 0)
        session_.progress_.pass_on(tbx_->take_err(), STDERR_FILENO);
    err_open_ = (revents & (POLLHUP | POLLERR)) == 0;
}

void Session::Run::watch(short)
{
    if (!measuring_ || !measuring_->done())
        return;
    pacing_.measured();
    measuring_.reset();
}

void Session::Run::said(short) { session_.progress_.write_more(); }

void Session::Run::signal(short)
{
    const int signal = session_.signals_.take();
    if (signal != SIGCHLD)
        return finish(128 + signal, "stopped");
    if (tbx_->ended())
        on_tbx_end();
}

void Session::Run::on_tbx_end()
{
    // All it said, to its last line.
    tbx_->release();
    session_.progress_.pass_on(tbx_->take_err(), STDERR_FILENO);
    pass_on();
    session_.progress_.pass_on(partial_);
    const int status = *tbx_->ended();
    if (session_.progress_.closed())
        return finish(128 + SIGPIPE, "");
    // Ctrl-C and a closed terminal reach tbx too, maybe first.
    if (status == 128 + SIGINT || status == 128 + SIGTERM || status == 128 + SIGHUP)
        return finish(status, "stopped");
    finish(status, !reading_ ? ""
                   : again_  ? "tbx ended before " + tracks_read_with_errors(session_.drive_.toc(), aside_->before()) +
                                  " could be read again"
                             : "tbx ended before the disc was read");
}

void Session::Run::event(short)
{
    Reader::Event e;
    if (read(reader_->events(), &e, sizeof e) != sizeof e)
        return;
    Progress &progress = session_.progress_;
    switch (e.kind) {
    case Reader::Event::Progress:
        if (!again_)
            pacing_.read(e.track, e.frames, e.bytes, now());
        read_track_ = ordinal_[e.track];
        break;
    case Reader::Event::Drive:
        pacing_.drive(e.frames, e.bytes, e.samples, now());
        break;
    case Reader::Event::Retried:
        pacing_.retried(now());
        break;
    case Reader::Event::Damaged:
        places_.push_back(session_.damage(e.track, e.frames, e.samples));
        progress.damaged(std::to_string(places_.size()) + (places_.size() == 1 ? " place" : " places") +
                         " read with errors");
        progress.say("Read with errors: " + places_.back() + "; the disc is damaged there.");
        break;
    case Reader::Event::Whole:
        damaged_[e.track] = e.samples;
        if (!again_) {
            pacing_.whole(e.track);
            place(e.track);
        }
        break;
    case Reader::Event::Done: {
        std::string error;
        std::vector<long> keeping = damaged_;
        if (!aside_->keep(session_.drive_.toc(), keeping, error))
            return finish(1, error);
        reading_ = false;
        lock_->release();
        progress.clear();
        progress.say(session_.kept(wanted_, again_, aside_->before(), damaged_, places_));
        break;
    }
    case Reader::Event::Failed:
        finish(1, e.why == Reader::Event::WriteFailed
                      ? cache::write_failure(session_.place_.root(), aside_->folder(), e.error)
                      : session_.failure(e, reader_->drive_said()));
        break;
    }
}

void Session::Run::finish(int status, const std::string &message)
{
    if (ended_)
        return;
    ended_ = status;
    if (tbx_)
        tbx_->end();
    if (reading_)
        reader_->stop();
    Progress &progress = session_.progress_;
    progress.clear();
    if (!message.empty())
        progress.say("tbx-play: " + message + (!reading_ ? "." : again_ ? kKeptAsBefore : kNothingKept));
}
