#ifndef TBX_PLAY_PACING_H
#define TBX_PLAY_PACING_H

// When tbx may go on while the disc is read. A track may start once enough
// of it is read, verified and in its file to play on without a break, or
// once it is whole where the sound does not play in real time. While a
// track plays as it is read, the music pauses where it is when the read
// has fallen close behind what plays, and goes on from there once the read
// is well ahead again. Times are seconds on whatever clock the caller
// keeps, so that tests drive it without a drive or a tbx.
#include <cstddef>
#include <deque>
#include <utility>
#include <vector>

class Pacing {
public:
    // The most sdl12-compat reads of a track's file at once, as the tests prove on each release.
    static constexpr long kLargestRead = 64 << 10;

    // Why the music waits, if it does: it has not started, while the
    // first seconds are verified; the drive is slow; it reads a damaged
    // stretch again.
    enum class Wait { None, Start, Drive, Retries };

    struct Figures {
        int percent;   // of the read's work done: each sector read once, and verified
        double speed;  // of the drive, in times real time; 0 until known
        double ahead;  // seconds verified past what plays
        Wait wait;
    };

    // The frames of each track tbx plays (1/75 s), whether it is audio (a
    // data track's file is whole from the start); whether tbx's sound
    // plays in real time.
    Pacing(std::vector<long> frames, std::vector<bool> audio, bool real_time);

    // The read: of track, frames verified and bytes of them in its file.
    void read(size_t track, long frames, long bytes);
    // The drive: sectors it has read in all, and work done of all there is.
    void drive(long sectors, long work, long of, double now);
    void whole(size_t track);
    // The drive read a damaged stretch again.
    void retried(double now);
    // tbx has measured every track's file: a track read in part may now
    // take its stand-in's place.
    void measured();
    // tbx has announced track, which it plays from now on.
    void playing(size_t track, double now);

    bool is_whole(size_t track) const { return whole_[track]; }
    // Whether tbx may go on to track.
    bool may_start(size_t track) const;
    // Whether the music must be paused now; once paused, it stays so until
    // the read is well ahead or the track whole.
    bool paused(double now);
    Figures figures(double now) const;
    // Where in the track playing the music is, in seconds.
    double position(double now) const;

private:
    bool partial(size_t track) const;
    // Where the track being read stands in its file at position (seconds).
    long offset(double position) const;

    std::vector<long> frames_;
    std::vector<bool> audio_;
    std::vector<bool> whole_;
    bool real_time_;
    bool measured_ = false;
    long disc_read_ = 0;   // of it, read
    // The track being read: which, frames read and bytes written, and
    // where its bytes stood as it went (frames, bytes).
    size_t reading_ = 0;
    long read_ = 0;
    long bytes_ = 0;
    std::vector<std::pair<long, long>> marks_;
    long work_ = 0, work_of_ = 0;
    std::deque<std::pair<double, long>> recent_; // (time, sectors the drive read) over the last seconds
    double retried_ = -1e9;
    // The track playing, since when, and the music's pauses in it.
    long playing_ = -1;
    double started_ = 0;
    double paused_for_ = 0;
    bool paused_ = false;
    double paused_at_ = 0;
    long taken_ = 0; // of its file, by sdl12-compat
};

#endif
