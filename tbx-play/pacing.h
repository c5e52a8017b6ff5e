#ifndef TBX_PLAY_PACING_H
#define TBX_PLAY_PACING_H

// When tbx may go on while the disc is read. sdl12-compat decodes a track's
// file as it plays it, reading on from where its descriptor on the file
// stands; a read that finds the part not yet written finds nothing, or
// zeros, and the music jumps or ends. So the written part is kept ahead of
// that offset by the most it reads at once and a margin: where it is not,
// the music pauses where it is, and goes on once the read is far enough
// ahead, at the rate and in the bursts it comes, to play at least
// kPlayAtLeast seconds, or the track through. A track starts on the same
// terms, or once it is whole where the sound does not play in real time.
// Times are seconds on whatever clock the caller keeps, so that tests drive
// it without a drive or a tbx.
#include <cstddef>
#include <deque>
#include <utility>
#include <vector>

class Pacing {
public:
    // The most sdl12-compat reads of a track's file at once, as the tests prove on each release.
    static constexpr long kLargestRead = 64 << 10;
    // Kept written past that, in bytes: one refill of a decoder may take
    // such a read and the block of a stdio buffer after it, one after the
    // other, before our next look at the offset.
    static constexpr long kMargin = 16 << 10;
    // Once paused, the music plays at least so long before it may pause
    // again, however slowly the read goes; seconds.
    static constexpr double kPlayAtLeast = 12;

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
    void read(size_t track, long frames, long bytes, double now);
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
    // Where tbx stands in the file of the track being read: the offset of
    // its descriptor on it; -1 while it has none open.
    void taken(long offset);

    bool is_whole(size_t track) const { return whole_[track]; }
    // The track whose file is being written, which tbx may be reading.
    size_t reading() const { return reading_; }
    // Whether tbx may go on to track.
    bool may_start(size_t track, double now) const;
    // Whether the music must be paused now; once paused, it stays so until
    // the read is far enough ahead or the track whole.
    bool paused(double now);
    Figures figures(double now) const;
    // Where in the track playing the music is, in seconds.
    double position(double now) const;

private:
    bool partial(size_t track) const;
    // The bytes of the track being read that would let the music play on
    // from offset as long as it should.
    long enough(long offset, double now) const;
    // Of the verified audio: seconds of it a second, and the longest it
    // has kept us waiting, over the last seconds.
    double rate(double now) const;
    double longest_gap(double now) const;

    std::vector<long> frames_;
    std::vector<bool> audio_;
    std::vector<bool> whole_;
    bool real_time_;
    bool measured_ = false;
    long disc_read_ = 0; // of it, verified
    // The track being read: which, frames read and bytes written.
    size_t reading_ = 0;
    long read_ = 0;
    long bytes_ = 0;
    long offset_ = 0; // tbx's in its file
    std::deque<std::pair<double, long>> verified_; // (time, disc_read_) over the last seconds
    long work_ = 0, work_of_ = 0;
    std::deque<std::pair<double, long>> recent_; // (time, sectors the drive read) over the last seconds
    double retried_ = -1e9;
    // The track playing, since when, and the music's pauses in it.
    long playing_ = -1;
    double started_ = 0;
    double paused_for_ = 0;
    bool paused_ = false;
    double paused_at_ = 0;
};

#endif
