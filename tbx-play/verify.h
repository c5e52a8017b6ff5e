#ifndef TBX_PLAY_VERIFY_H
#define TBX_PLAY_VERIFY_H

// Audio read as a ripper would trust it: every stretch read twice from the
// disc itself, the two reads alike byte for byte.
//
// A drive answers a read of what it read lately from its buffer, as it read
// it then, scratch and all. So a second read counts only once the drive has
// read enough else since to have let the first go: its reach, the buffer it
// reports and a margin, or the 1200 sectors paranoia assumes where it
// reports none. Meanwhile the drive reads ahead, so that one stretch's first
// read fills the time another's second read waits; the two kinds take turns,
// so that the disc is verified steadily, at half the drive's speed, and the
// first seconds once the drive has read them, its reach past them, and them
// again.
//
// Where two reads differ (a scratch), the stretch is read again, once the
// drive has read its reach since, up to kMostReads times in all; each block
// of it is taken where two reads agree, and where none do, from the reads'
// middle values, and said to be unsure. A sector the drive fails to read is
// one such read, of nothing: silence where it never reads. So a damaged
// place holds the read up for at most a few of the drive's reach, and plays
// on. A drive that fails every read for seconds no longer answers: that
// ends the read.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace verify {

constexpr long kSectorBytes = 2352;
// Sectors read together, a third of a second of audio; and the most reads of
// one stretch.
constexpr long kStretch = 25;
constexpr int kMostReads = 5;
// The first seconds of audio, in sectors, verified as fast as the drive's
// buffer lets them.
constexpr long kFirstSeconds = 12 * kStretch;
// A drive that has failed every read for so long, or so many sectors in a
// row where it fails each at once, no longer answers.
constexpr double kDeadSeconds = 10;
constexpr long kDeadSectors = 3 * kStretch;

// How far back a drive that reports a buffer of kb kilobytes may answer
// from it, in sectors: the buffer, an eighth more and a read of its own; 1200
// where it reports none (0).
long reach_of(long kb);

// The drive, as the verifier reads it.
class Drive {
public:
    virtual ~Drive() = default;
    // Reads up to count sectors from lsn into into; how many it read, or -1
    // with errno set where it failed.
    virtual long read(long lsn, long count, unsigned char *into) = 0;
    // Its clock, in seconds.
    virtual double seconds() = 0;
};

// Which sectors the drive may still answer from its buffer: any it read
// fewer than reach sectors ago, counting only reads that were surely of the
// disc. Those are of distinct sectors, so the count holds whether the
// buffer keeps what it read last or what was asked for last.
class Buffer {
public:
    Buffer(long first, long end, long reach);
    // Whether all of a read of count sectors from lsn would come from the disc.
    bool fresh(long lsn, long count) const;
    // Notes a read of count sectors from lsn; how many of them were fresh.
    long read(long lsn, long count);

private:
    long first_;
    long reach_;
    long fresh_ = 0;             // sectors read surely from the disc
    std::vector<int32_t> last_; // fresh_ right after each sector's last read
};

// Sectors in a row.
struct Span {
    long lsn;
    long count;
};

// A stretch read and settled, in order.
struct Stretch {
    long lsn = 0;
    std::vector<unsigned char> data; // count sectors, 16-bit stereo
    // Where in data (bytes, from and to) no two reads agreed: best guesses.
    std::vector<std::pair<long, long>> unsure;
};

class Verifier {
public:
    // Reads wanted, in order, through a drive of that reach; may read any
    // sector of audio to let the drive's buffer go.
    Verifier(Drive &drive, const std::vector<Span> &wanted, const std::vector<Span> &audio, long reach);

    enum class Step {
        Read,   // the drive read
        Again,  // read a stretch that read differently before
        Ready,  // a stretch is ready, the next in order
        Done,   // all that was wanted is ready
        Failed, // the drive no longer answers, or the disc is out, from failed_at(); errno set
    };
    Step step(Stretch &ready);

    long failed_at() const { return failed_at_; }
    // Sectors the drive has read; read once and ready, of twice those wanted.
    long reads() const { return reads_; }
    long work() const { return work_; }
    long work_total() const { return 2 * wanted_; }

private:
    // One read of a stretch: its bytes, and the sectors the drive failed to
    // read in it (none where empty).
    struct Read {
        std::vector<unsigned char> bytes;
        std::vector<bool> failed;
        bool usable(size_t from, size_t to) const;
    };
    struct Piece {
        long lsn;
        long count;
        std::vector<Read> reads;
        Stretch settled;
        bool done = false;
    };

    // False where the drive no longer answers, or the disc is out.
    bool read(long lsn, long count, Read &into, long split);
    bool failed(long lsn, int error);
    // Done once two reads agree, block by block; at its last chance, with
    // what its reads have.
    static void settle(Piece &p, bool last_chance);
    // Reads the next stretch wanted for the first time, where there is one
    // and room for it; false where not, or where the drive failed
    // (failed_at_ then tells).
    bool first_read();
    // Reads a stretch of whatever is not waiting to be read again; false
    // where a whole round of the disc found nothing the drive still holds
    // to push out of it.
    bool flush();

    Drive &drive_;
    std::vector<Span> audio_;
    long audio_sectors_ = 0;
    long reach_;
    Buffer buffer_;
    std::vector<Span> pieces_; // what is wanted, a stretch at a time
    size_t next_ = 0;          // of pieces_, to be read first
    bool again_last_ = false;  // the last read was a stretch's second or later
    bool steady_ = false;      // first and second reads take turns
    std::deque<Piece> window_; // read, not yet ready; in order
    long held_ = 0;             // sectors in it
    long most_held_;
    size_t flush_span_ = 0;
    long flush_at_ = 0; // in that span
    long reads_ = 0, work_ = 0, wanted_ = 0;
    long ready_ = 0; // sectors
    long failed_at_ = -1;
    long failing_ = 0; // sectors failed in a row, from failing_from_ on
    long failing_from_ = -1;
    double failing_since_ = 0;
};

} // namespace verify

#endif
