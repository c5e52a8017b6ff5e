#include "pacing.h"

#include <algorithm>

namespace {

constexpr double kFps = 75; // CD frames a second

// How sdl12-compat reads the file of the track it plays: so much at the
// start, then so much more each time no more than so much of what it read
// is left to decode; from 1.2.74 a read that finds less than it asks for
// ends the track. The music pauses where a read would find less (and a
// little more), shortly before it comes.
constexpr long kFirstRead = 64 << 10;
constexpr long kNextRead = 48 << 10;
constexpr long kReadWhenLeft = 16 << 10;
constexpr long kSlack = 8 << 10;
// A track starts, and the music goes on after a pause, once the read is
// this far ahead, in seconds; the music pauses this long before a read that
// would find too little.
constexpr double kLead = 4;
constexpr double kBefore = 0.2;
// Where a track's bytes are taken to stand, a little past what plays: lame
// holds a few frames back, sdl12-compat decodes a little ahead.
constexpr double kLag = 0.1;

// Over which the read's speed is taken, and for how long retries explain a
// pause, in seconds.
constexpr double kRecent = 10;
constexpr double kRetriesShow = 5;

double seconds(long frames) { return static_cast<double>(frames) / kFps; }

} // namespace

Pacing::Pacing(std::vector<long> frames, std::vector<bool> audio, bool real_time)
    : frames_(std::move(frames)), audio_(std::move(audio)), real_time_(real_time)
{
    for (size_t i = 0; i < frames_.size(); ++i)
        whole_.push_back(!audio_[i]);
}

void Pacing::read(size_t track, long frames, long bytes)
{
    if (track != reading_) {
        reading_ = track;
        read_ = 0;
        marks_.clear();
    }
    disc_read_ += frames - read_;
    read_ = frames;
    bytes_ = bytes;
    marks_.emplace_back(frames, bytes);
}

void Pacing::drive(long sectors, long work, long of, double now)
{
    work_ = work;
    work_of_ = of;
    recent_.emplace_back(now, sectors);
    while (recent_.size() > 1 && recent_.front().first < now - kRecent)
        recent_.pop_front();
}

void Pacing::whole(size_t track)
{
    whole_[track] = true;
    if (track == reading_ && audio_[track]) {
        disc_read_ += frames_[track] - read_;
        read_ = frames_[track];
    }
}

void Pacing::retried(double now) { retried_ = now; }

void Pacing::measured() { measured_ = true; }

void Pacing::playing(size_t track, double now)
{
    playing_ = static_cast<long>(track);
    started_ = now;
    taken_ = kFirstRead;
    paused_for_ = 0;
    paused_ = false;
}

bool Pacing::partial(size_t track) const { return !whole_[track] && track == reading_; }

double Pacing::position(double now) const
{
    if (playing_ < 0)
        return 0;
    return std::max(0.0, (paused_ ? paused_at_ : now) - started_ - paused_for_);
}

long Pacing::offset(double position) const
{
    // Between the marks around it, or all that is written past the last.
    const double at = (position + kLag) * kFps;
    const auto mark = std::find_if(marks_.begin(), marks_.end(), [&](const auto &m) { return m.first >= at; });
    if (mark == marks_.end())
        return bytes_;
    const std::pair<long, long> before = mark == marks_.begin() ? std::pair<long, long>{0, 0} : *(mark - 1);
    const double share = (at - static_cast<double>(before.first)) / static_cast<double>(std::max(mark->first - before.first, 1L));
    return before.second + static_cast<long>(share * static_cast<double>(mark->second - before.second));
}

bool Pacing::may_start(size_t track) const
{
    // tbx goes straight on past a data track, which it cannot play.
    if (!audio_[track])
        return track + 1 == frames_.size() || may_start(track + 1);
    return whole_[track] || (real_time_ && measured_ && partial(track) && seconds(read_) >= kLead &&
                             bytes_ >= kFirstRead + kSlack);
}

bool Pacing::paused(double now)
{
    const bool read_in_part = playing_ >= 0 && partial(static_cast<size_t>(playing_));
    const double at = position(now);
    // The reads sdl12-compat has made by now, and the next one.
    while (taken_ - offset(at) <= kReadWhenLeft)
        taken_ += kNextRead;
    const long next = taken_ + kNextRead + kSlack;
    const bool soon = offset(at + kBefore) + kReadWhenLeft >= taken_;
    if (!paused_ && read_in_part && bytes_ < next && soon) {
        paused_ = true;
        paused_at_ = now;
    } else if (paused_ && (!read_in_part || (bytes_ >= next && seconds(read_) - at >= kLead))) {
        paused_ = false;
        paused_for_ += now - paused_at_;
    }
    return paused_;
}

Pacing::Figures Pacing::figures(double now) const
{
    Figures f{static_cast<int>(100 * work_ / std::max(work_of_, 1L)), 0, seconds(disc_read_), Wait::None};
    const auto first = std::find_if(recent_.begin(), recent_.end(), [&](const auto &r) { return r.first >= now - kRecent; });
    if (first != recent_.end() && !recent_.empty() && now - first->first >= 1)
        f.speed = seconds(recent_.back().second - first->second) / (now - first->first);
    if (playing_ < 0) {
        f.wait = Wait::Start;
        return f;
    }
    const auto track = static_cast<size_t>(playing_);
    long before = 0;
    for (size_t i = 0; i < track; ++i)
        before += audio_[i] ? frames_[i] : 0;
    const double at = position(now);
    f.ahead = seconds(disc_read_ - before) - at;
    // Paused inside the track, or at its end before the next.
    const bool ended = at >= seconds(frames_[track]);
    const bool waits = paused_ || (ended && track + 1 < frames_.size() && !may_start(track + 1));
    if (waits)
        f.wait = now - retried_ < kRetriesShow ? Wait::Retries : Wait::Drive;
    return f;
}
