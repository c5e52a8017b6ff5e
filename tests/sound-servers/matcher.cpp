#include "matcher.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace matcher {

namespace {

// Frames that must agree before a stretch of the recording is taken for a
// stretch of a track; past this many frames of sound that match nothing, a
// match is looked for only every kStride frames, then traced back.
constexpr long kWindow = 32;
constexpr long kCarefulFor = 256;
constexpr long kStride = 32;
// The most of a track's start sdl12-compat plays at the end of the track
// before: a quarter of a second.
constexpr long kEarlyAtMost = kRate / 4;
// At the end of the disc sdl12-compat fills the rest of its last buffer
// with the encoder's padding, then with what that buffer held before: the
// end of the last track heard again, a buffer after it was first heard;
// 1.2.78 at the end of every track, with no padding.
// SDL's buffer holds at most this many frames.
constexpr long kAgainAtMost = 8192;

// A stretch of the recording that is a stretch of a track, frame for frame.
struct Stretch {
    long heard; // in the recording
    size_t track;
    long at;    // in the track
    long frames;
    bool early = false;
    bool again = false;
};

// The tracks one after another, found by the value of their left samples.
class Index {
public:
    explicit Index(const std::vector<Pcm> &tracks)
    {
        long frames = 0;
        for (const Pcm &t : tracks) {
            starts_.push_back(frames);
            frames += static_cast<long>(t.size() / 2);
        }
        starts_.push_back(frames);
        // Counted, then placed: one flat table for every value.
        first_.assign(65537, 0);
        for (const Pcm &t : tracks)
            for (size_t i = 0; i < t.size(); i += 2)
                ++first_[static_cast<size_t>(t[i] + 32768) + 1];
        for (size_t v = 1; v < first_.size(); ++v)
            first_[v] += first_[v - 1];
        where_.resize(static_cast<size_t>(frames));
        std::vector<long> next(first_.begin(), first_.end() - 1);
        long g = 0;
        for (const Pcm &t : tracks)
            for (size_t i = 0; i < t.size(); i += 2)
                where_[static_cast<size_t>(next[static_cast<size_t>(t[i] + 32768)]++)] = static_cast<std::uint32_t>(g++);
    }

    // Every frame of every track whose left sample is value.
    template <typename F> void each(int value, F &&f) const
    {
        if (value < -32768 || value > 32767)
            return;
        const auto v = static_cast<size_t>(value + 32768);
        for (long k = first_[v]; k < first_[v + 1]; ++k)
            if (!f(static_cast<long>(where_[static_cast<size_t>(k)])))
                return;
    }

    // The track of frame g of them all, and where in it.
    std::pair<size_t, long> place(long g) const
    {
        const auto t = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), g) - starts_.begin() - 1);
        return {t, g - starts_[t]};
    }

private:
    std::vector<long> starts_;
    std::vector<long> first_;
    std::vector<std::uint32_t> where_;
};

bool silent(const Pcm &p, long frame) { return p[2 * frame] == 0 && p[2 * frame + 1] == 0; }

// How far frame a of one and frame b of the other differ, in steps.
int difference(const Pcm &x, long a, const Pcm &y, long b)
{
    return std::max(std::abs(x[2 * a] - y[2 * b]), std::abs(x[2 * a + 1] - y[2 * b + 1]));
}

long frames_of(const Pcm &p) { return static_cast<long>(p.size() / 2); }

// The stretches of the recording that are stretches of tracks, in order.
std::vector<Stretch> stretches(const Pcm &rec, const std::vector<Pcm> &tracks, int tolerance)
{
    const Index index(tracks);
    const long n = frames_of(rec);
    std::vector<Stretch> found;
    long floor = 0; // the end of the last stretch
    long unmatched = 0;
    for (long i = 0; i < n;) {
        if (silent(rec, i) || (unmatched >= kCarefulFor && unmatched % kStride != 0)) {
            unmatched += !silent(rec, i);
            ++i;
            continue;
        }
        // A stretch of a track that starts here, at least kWindow long.
        std::pair<size_t, long> at = {0, -1};
        for (int d = -tolerance; d <= tolerance && at.second < 0; ++d)
            index.each(rec[2 * i] + d, [&](long g) {
                const auto [t, p] = index.place(g);
                const Pcm &track = tracks[t];
                if (frames_of(track) - p < kWindow || n - i < kWindow)
                    return true;
                for (long k = 0; k < kWindow; ++k)
                    if (difference(rec, i + k, track, p + k) > tolerance)
                        return true;
                at = {t, p};
                return false;
            });
        if (at.second < 0) {
            ++unmatched;
            ++i;
            continue;
        }
        const Pcm &track = tracks[at.first];
        long start = i, from = at.second;
        while (start > floor && from > 0 && difference(rec, start - 1, track, from - 1) <= tolerance)
            --start, --from;
        long end = i, to = at.second;
        while (end < n && to < frames_of(track) && difference(rec, end, track, to) <= tolerance)
            ++end, ++to;
        found.push_back({start, at.first, from, end - start});
        floor = i = end;
        unmatched = 0;
    }
    return found;
}

// A track's start heard at the end of the track before, then again from
// its start.
void mark_early(std::vector<Stretch> &found)
{
    for (size_t k = 0; k < found.size(); ++k) {
        Stretch &s = found[k];
        if (s.track == 0 || s.at + s.frames > kEarlyAtMost)
            continue;
        const bool after_the_one_before = k > 0 && found[k - 1].track + 1 == s.track;
        const bool again = std::any_of(found.begin() + static_cast<long>(k) + 1, found.end(), [&](const Stretch &later) {
            return later.track == s.track && later.at <= s.at;
        });
        s.early = after_the_one_before && again;
    }
}

// A track's end heard again after it, as the rest of its last buffer held
// it a buffer before: at the end of the disc, after the track's padding, as
// the last sound of all; sdl12-compat 1.2.78 does it at the end of every
// track, right after its last frame and right before the next one's start
// heard early.
void mark_again(std::vector<Stretch> &found, const std::vector<Pcm> &tracks)
{
    for (size_t k = 1; k < found.size(); ++k) {
        Stretch &s = found[k];
        const Stretch &before = found[k - 1];
        // Where what is heard again was heard first: a buffer before, at most.
        const long first = before.heard + s.at - before.at;
        const bool after_the_end = before.track == s.track && before.at + before.frames == frames_of(tracks[s.track]) &&
                                   s.at >= before.at && s.heard - first <= kAgainAtMost;
        const bool end_of_disc = k + 1 == found.size() && s.track + 1 == tracks.size();
        const bool end_of_track = k + 1 < found.size() && found[k + 1].early && found[k + 1].track == s.track + 1 &&
                                  s.heard == before.heard + before.frames && found[k + 1].heard == s.heard + s.frames;
        s.again = after_the_end && (end_of_disc || end_of_track);
    }
}

// What lies in the recording between two stretches of a track: pauses,
// and frames heard wrong, as events at the track's frame at.
long between(const Pcm &rec, long from, long to, long at, long min_pause, std::vector<Event> &events)
{
    long wrong = 0;
    for (long i = from; i < to;) {
        long j = i;
        while (j < to && silent(rec, j))
            ++j;
        if (j - i >= min_pause)
            events.push_back({Event::Pause, at, i, j - i});
        else
            wrong += j - i;
        if (j == i) {
            while (j < to && !silent(rec, j))
                ++j;
            wrong += j - i;
        }
        i = j;
    }
    if (wrong > 0)
        events.push_back({Event::Wrong, at, from, wrong});
    return wrong;
}

} // namespace

long Track::total(Event::Kind kind) const
{
    long sum = 0;
    for (const Event &e : events)
        sum += e.kind == kind ? e.frames : 0;
    return sum;
}

long Track::count(Event::Kind kind) const
{
    return std::count_if(events.begin(), events.end(), [&](const Event &e) { return e.kind == kind; });
}

std::vector<Track> match(const Pcm &recording, const std::vector<Pcm> &tracks, int tolerance, long min_pause)
{
    std::vector<Stretch> found = stretches(recording, tracks, tolerance);
    mark_early(found);
    mark_again(found, tracks);
    std::vector<Track> heard(tracks.size());
    std::vector<long> next(tracks.size(), 0); // of each track, what should come next
    std::vector<long> end_of_last(tracks.size(), -1);
    for (const Stretch &s : found) {
        Track &t = heard[s.track];
        for (long k = 0; k < s.frames; ++k)
            t.deviation = std::max(t.deviation, difference(recording, s.heard + k, tracks[s.track], s.at + k));
        if (s.early || s.again) {
            (s.early ? t.early : t.again) += s.frames;
            continue;
        }
        long &expected = next[s.track];
        long wrong = 0;
        if (t.first < 0)
            t.first = s.heard;
        else
            wrong = between(recording, end_of_last[s.track], s.heard, expected, min_pause, t.events);
        // What was skipped, less what was heard wrong in its place.
        if (s.at > expected + wrong)
            t.events.push_back({Event::Lost, expected, s.heard, s.at - expected - wrong});
        else if (s.at < expected)
            t.events.push_back({Event::Twice, s.at, s.heard, std::min(expected, s.at + s.frames) - s.at});
        expected = std::max(expected, s.at + s.frames);
        end_of_last[s.track] = t.last = s.heard + s.frames;
    }
    for (size_t k = 0; k < tracks.size(); ++k)
        if (next[k] < frames_of(tracks[k]))
            heard[k].events.push_back({Event::Lost, next[k], heard[k].last, frames_of(tracks[k]) - next[k]});
    return heard;
}

std::string describe(const Track &track)
{
    const auto s = [](long frames) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(frames) / kRate);
        return std::string(text);
    };
    if (track.first < 0)
        return "never heard";
    std::string text = "first heard at " + s(track.first) + " of the recording, last at " + s(track.last);
    if (track.early > 0)
        text += "; its first " + s(track.early) + " also heard at the end of the track before (sdl12-compat's end of track)";
    if (track.again > 0)
        text += "; " + s(track.again) + " of its last frames heard again after its end (sdl12-compat's last buffer of a track)";
    const char *const what[] = {"paused", "lost", "heard twice", "heard wrong"};
    for (const Event &e : track.events)
        text += std::string("; ") + what[e.kind] + " " + s(e.frames) + " (" + std::to_string(e.frames) + " frames) at " +
                s(e.at) + " into it";
    return text + "; samples off by " + std::to_string(track.deviation) + " at most";
}

} // namespace matcher
