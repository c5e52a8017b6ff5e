#include "pacing.h"

#include <algorithm>
#include <limits>

namespace {

constexpr double kFps = 75; // CD frames a second

// Ahead of the music beyond the read's longest wait lately, in seconds:
// for the waits it has yet to show.
constexpr double kLead = 2;
// Over which the read's rate and waits are taken, and for how long retries
// explain a pause, in seconds.
constexpr double kRecent = 10;
constexpr double kRetriesShow = 5;

double seconds(long frames) { return static_cast<double>(frames) / kFps; }

// The bytes of a track's file that a read of sdl12-compat's may reach from offset.
long needed(long offset) { return offset + Pacing::kLargestRead + Pacing::kMargin; }

} // namespace

Pacing::Pacing(std::vector<long> frames, std::vector<bool> audio, bool real_time)
    : frames_(std::move(frames)), audio_(std::move(audio)), real_time_(real_time)
{
    for (size_t i = 0; i < frames_.size(); ++i)
        whole_.push_back(!audio_[i]);
}

void Pacing::read(size_t track, long frames, long bytes, double now)
{
    if (track != reading_) {
        reading_ = track;
        read_ = 0;
        offset_ = 0;
    }
    disc_read_ += frames - read_;
    read_ = frames;
    bytes_ = bytes;
    verified_.emplace_back(now, disc_read_);
    while (verified_.size() > 1 && verified_.front().first < now - kRecent)
        verified_.pop_front();
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
    paused_for_ = 0;
    paused_ = false;
}

void Pacing::taken(long offset) { offset_ = std::max(offset, 0L); }

bool Pacing::partial(size_t track) const { return !whole_[track] && track == reading_; }

double Pacing::position(double now) const
{
    if (playing_ < 0)
        return 0;
    return std::max(0.0, (paused_ ? paused_at_ : now) - started_ - paused_for_);
}

double Pacing::rate(double now) const
{
    if (verified_.empty() || now - verified_.front().first < 1)
        return 0; // not known yet
    return seconds(verified_.back().second - verified_.front().second) / (now - verified_.front().first);
}

double Pacing::longest_gap(double now) const
{
    double longest = verified_.empty() ? 0 : now - verified_.back().first;
    for (size_t i = 1; i < verified_.size(); ++i)
        longest = std::max(longest, verified_[i].first - verified_[i - 1].first);
    return longest;
}



long Pacing::enough(long offset, double now) const
{
    if (read_ == 0)
        return std::numeric_limits<long>::max();
    const double per_second = static_cast<double>(bytes_) / seconds(read_);
    // The offset may be a read ahead of the music, and may move another on
    // at once; meanwhile the read comes at its rate, with its waits.
    const double left = seconds(frames_[reading_]) - (static_cast<long>(reading_) == playing_ ? position(now) : 0);
    const double lead = kLead + longest_gap(now) + std::max(0.0, 1 - rate(now)) * std::min(kPlayAtLeast, left);
    return needed(offset) + kLargestRead + static_cast<long>(lead * per_second);
}

bool Pacing::may_start(size_t track, double now) const
{
    // tbx goes straight on past a data track, which it cannot play.
    if (!audio_[track])
        return track + 1 == frames_.size() || may_start(track + 1, now);
    // Opening the file, the decoder reads the most at once, and may go on
    // reading to fill what it holds: as far on as the offset is already.
    return whole_[track] ||
           (real_time_ && measured_ && partial(track) && bytes_ >= enough(std::max(offset_, kLargestRead), now));
}

bool Pacing::paused(double now)
{
    const bool read_in_part = playing_ >= 0 && partial(static_cast<size_t>(playing_));
    if (!paused_ && read_in_part && bytes_ < needed(offset_)) {
        paused_ = true;
        paused_at_ = now;
    } else if (paused_ && (!read_in_part || bytes_ >= enough(offset_, now))) {
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
    const bool waits = paused_ || (ended && track + 1 < frames_.size() && !may_start(track + 1, now));
    if (waits)
        f.wait = now - retried_ < kRetriesShow ? Wait::Retries : Wait::Drive;
    return f;
}
