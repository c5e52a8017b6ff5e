#include "pacing.h"

#include <algorithm>

namespace {

constexpr double kFps = 75; // CD frames a second

// sdl12-compat reads a track's file 16 KB ahead of what it decodes, and
// decodes a little ahead of what is heard; lame holds back a few frames.
// The music goes on once the read is this far ahead of it...
constexpr double kLead = 4;
constexpr long kLeadBytes = 48 << 10;
// ...and pauses when the read is no more than this far ahead.
constexpr double kLow = 1.5;
constexpr long kLowBytes = 32 << 10;
// Where a track's bytes are taken to stand, a little past what plays.
constexpr double kLag = 0.2;

// Over which the read's speed is taken, and for how long retries explain a
// pause, in seconds.
constexpr double kRecent = 10;
constexpr double kRetriesShow = 5;

} // namespace

Pacing::Pacing(std::vector<long> frames, std::vector<bool> audio, bool real_time)
    : frames_(std::move(frames)), audio_(std::move(audio)), real_time_(real_time)
{
    for (size_t i = 0; i < frames_.size(); ++i) {
        whole_.push_back(!audio_[i]);
        disc_frames_ += audio_[i] ? frames_[i] : 0;
    }
}

void Pacing::read(size_t track, long frames, long bytes, double now)
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
    recent_.emplace_back(now, disc_read_);
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

double Pacing::ahead_bytes(double position) const
{
    // Where the track's bytes stand a little past position: the first mark
    // beyond it, or all that is written where none is.
    const long at = static_cast<long>((position + kLag) * kFps);
    const auto mark = std::find_if(marks_.begin(), marks_.end(), [&](const auto &m) { return m.first >= at; });
    return static_cast<double>(bytes_ - (mark == marks_.end() ? bytes_ : mark->second));
}

bool Pacing::may_start(size_t track) const
{
    // tbx goes straight on past a data track, which it cannot play.
    if (!audio_[track])
        return track + 1 == frames_.size() || may_start(track + 1);
    return whole_[track] ||
           (real_time_ && measured_ && partial(track) && read_ >= kLead * kFps && ahead_bytes(0) >= kLeadBytes);
}

bool Pacing::paused(double now)
{
    const bool read_in_part = playing_ >= 0 && partial(static_cast<size_t>(playing_));
    const double at = position(now);
    const double ahead = read_ / kFps - at;
    const double bytes = ahead_bytes(at);
    if (!paused_ && read_in_part && (ahead < kLow || bytes < kLowBytes)) {
        paused_ = true;
        paused_at_ = now;
    } else if (paused_ && (!read_in_part || (ahead >= kLead && bytes >= kLeadBytes))) {
        paused_ = false;
        paused_for_ += now - paused_at_;
    }
    return paused_;
}

Pacing::Figures Pacing::figures(double now) const
{
    Figures f{static_cast<int>(100 * disc_read_ / std::max(disc_frames_, 1L)), 0, disc_read_ / kFps, Wait::None};
    const auto first = std::find_if(recent_.begin(), recent_.end(), [&](const auto &r) { return r.first >= now - kRecent; });
    if (first != recent_.end() && now - first->first >= 1)
        f.speed = (disc_read_ - first->second) / kFps / (now - first->first);
    if (playing_ < 0)
        return f;
    const auto track = static_cast<size_t>(playing_);
    long before = 0;
    for (size_t i = 0; i < track; ++i)
        before += audio_[i] ? frames_[i] : 0;
    const double at = position(now);
    f.ahead = (disc_read_ - before) / kFps - at;
    // Paused inside the track, or at its end before the next.
    const bool ended = at >= frames_[track] / kFps;
    const bool waits = paused_ || (ended && track + 1 < frames_.size() && !may_start(track + 1));
    if (waits)
        f.wait = now - retried_ < kRetriesShow ? Wait::Retries : Wait::Drive;
    return f;
}
