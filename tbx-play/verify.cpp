#include "verify.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace verify {

namespace {

constexpr int32_t kNever = INT32_MIN / 2;
// paranoia's own assumption where a drive says nothing of its buffer.
constexpr long kUnreported = 1200;
// What two reads must agree on: 16 stereo samples.
constexpr size_t kBlock = 64;

// Each 16-bit sample's middle value among the reads' bytes, at [from, to);
// silence where there are none.
void middle(const std::vector<const unsigned char *> &reads, size_t from, size_t to, unsigned char *out)
{
    if (reads.empty())
        return;
    std::vector<int16_t> values(reads.size());
    for (size_t at = from; at + 1 < to; at += 2) {
        for (size_t r = 0; r < reads.size(); ++r)
            std::memcpy(&values[r], reads[r] + at, 2);
        std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
        std::memcpy(out + at, &values[values.size() / 2], 2);
    }
}

} // namespace

long reach_of(long kb)
{
    if (kb <= 0)
        return kUnreported;
    const long sectors = (kb * 1024 + kSectorBytes - 1) / kSectorBytes;
    return sectors + sectors / 8 + kStretch;
}

Buffer::Buffer(long first, long end, long reach)
    : first_(first), reach_(reach), last_(static_cast<size_t>(std::max(end - first, 0L)), kNever)
{
}

bool Buffer::fresh(long lsn, long count) const
{
    long f = fresh_;
    for (long s = lsn; s < lsn + count; ++s, ++f)
        if (f - last_[static_cast<size_t>(s - first_)] < reach_)
            return false;
    return true;
}

long Buffer::read(long lsn, long count)
{
    long counted = 0;
    for (long s = lsn; s < lsn + count; ++s) {
        int32_t &last = last_[static_cast<size_t>(s - first_)];
        if (fresh_ - last >= reach_) {
            ++fresh_;
            ++counted;
        }
        last = static_cast<int32_t>(fresh_);
    }
    return counted;
}

Verifier::Verifier(Drive &drive, const std::vector<Span> &wanted, const std::vector<Span> &audio, long reach)
    : drive_(drive), audio_(audio), reach_(reach), buffer_(0, 0, 0), most_held_(0)
{
    long first = 0, end = 0;
    for (const Span &s : audio_) {
        first = audio_sectors_ == 0 ? s.lsn : std::min(first, s.lsn);
        end = std::max(end, s.lsn + s.count);
        audio_sectors_ += s.count;
    }
    // A disc shorter than the drive's reach cannot push a sector out with
    // others: it is read again once all the rest has been.
    reach_ = std::max(std::min(reach_, audio_sectors_ - kStretch), 1L);
    buffer_ = Buffer(first, end, reach_);
    most_held_ = 3 * reach_ + 8 * kStretch;
    for (const Span &s : wanted) {
        for (long at = 0; at < s.count; at += kStretch)
            pieces_.push_back({s.lsn + at, std::min(kStretch, s.count - at)});
        wanted_ += s.count;
    }
}

bool Verifier::Read::usable(size_t from, size_t to) const
{
    for (size_t s = from / kSectorBytes; s < failed.size() && s * kSectorBytes < to; ++s)
        if (failed[s])
            return false;
    return true;
}

bool Verifier::read(long lsn, long count, Read &into, long split)
{
    into.bytes.assign(static_cast<size_t>(count * kSectorBytes), 0);
    into.failed.clear();
    const auto at = [&](long i) { return into.bytes.data() + i * kSectorBytes; };
    const auto took = [&](long from, long n) {
        buffer_.read(from, n);
        reads_ += n;
        failing_ = 0;
    };
    // A sector the drive failed, unless it no longer answers.
    const auto lost = [&](long i, int error) {
        into.failed.resize(static_cast<size_t>(count), false);
        into.failed[static_cast<size_t>(i)] = true;
        return failed(lsn + i, error);
    };
    // In two requests where asked, so that the ends of the drive's reads,
    // where a drive may slip, are not where they were the time before.
    for (long done = 0; done < count;) {
        const long ask = done == 0 && split > 0 && split < count ? split : count - done;
        const long got = drive_.read(lsn + done, ask, at(done));
        if (got > 0) {
            took(lsn + done, got);
            done += got;
            continue;
        }
        const int error = got < 0 ? errno : EIO;
        if (error == ENOMEDIUM || error == EBADF || ask == 1) {
            if (!lost(done++, error))
                return false;
            continue;
        }
        // Which of them the drive fails, a sector at a time.
        for (const long end = done + ask; done < end; ++done) {
            if (drive_.read(lsn + done, 1, at(done)) == 1)
                took(lsn + done, 1);
            else if (!lost(done, errno))
                return false;
        }
    }
    return true;
}

bool Verifier::failed(long lsn, int error)
{
    const double now = drive_.seconds();
    if (failing_ == 0) {
        failing_from_ = lsn;
        failing_since_ = now;
    }
    ++failing_;
    // The disc gone, or a drive that has failed for long: no scratch.
    if (error == ENOMEDIUM || error == EBADF || failing_ >= kDeadSectors || now - failing_since_ >= kDeadSeconds) {
        failed_at_ = error == ENOMEDIUM || error == EBADF ? lsn : failing_from_;
        errno = error;
        return false;
    }
    return true;
}

void Verifier::settle(Piece &p, bool last_chance)
{
    const std::vector<Read> &copies = p.reads;
    last_chance = last_chance || static_cast<int>(copies.size()) >= kMostReads;
    const Read &last = copies.back();
    for (size_t r = 0; r + 1 < copies.size(); ++r)
        if (copies[r].failed.empty() && last.failed.empty() && copies[r].bytes == last.bytes) {
            p.settled.data = std::move(p.reads.back().bytes);
            p.reads.clear();
            p.done = true;
            return;
        }
    if (copies.size() < 2 && !last_chance)
        return;
    // Block by block, the first that two reads agree on; what the drive
    // failed to read agrees with nothing.
    std::vector<unsigned char> data(last.bytes.size(), 0);
    std::vector<std::pair<long, long>> unsure;
    std::vector<const unsigned char *> usable;
    for (size_t at = 0; at < data.size(); at += kBlock) {
        const size_t n = std::min(kBlock, data.size() - at);
        usable.clear();
        for (const Read &r : copies)
            if (r.usable(at, at + n))
                usable.push_back(r.bytes.data());
        bool agreed = false;
        for (size_t i = 0; i < usable.size() && !agreed; ++i)
            for (size_t j = i + 1; j < usable.size() && !agreed; ++j)
                if (std::memcmp(usable[i] + at, usable[j] + at, n) == 0) {
                    std::memcpy(data.data() + at, usable[i] + at, n);
                    agreed = true;
                }
        if (agreed)
            continue;
        middle(usable, at, at + n, data.data());
        if (!unsure.empty() && unsure.back().second == static_cast<long>(at))
            unsure.back().second = static_cast<long>(at + n);
        else
            unsure.emplace_back(at, at + n);
    }
    if (unsure.empty() || last_chance) {
        p.settled.data = std::move(data);
        p.settled.unsure = std::move(unsure);
        p.reads.clear();
        p.done = true;
    }
}

bool Verifier::flush()
{
    const auto waiting = [&](long lsn) {
        return std::any_of(window_.begin(), window_.end(),
                           [&](const Piece &p) { return !p.done && lsn >= p.lsn && lsn < p.lsn + p.count; });
    };
    for (long looked = 0; looked < audio_sectors_;) {
        const Span &span = audio_[flush_span_];
        const long lsn = span.lsn + flush_at_;
        long count = 0;
        while (count < kStretch && flush_at_ + count < span.count && !waiting(lsn + count) &&
               buffer_.fresh(lsn, count + 1))
            ++count;
        const long past = std::max(count, 1L);
        flush_at_ += past;
        looked += past;
        if (flush_at_ >= span.count) {
            flush_at_ = 0;
            flush_span_ = (flush_span_ + 1) % audio_.size();
        }
        if (count == 0)
            continue;
        // What is read here is thrown away; a drive failing here fails
        // again where it matters.
        std::vector<unsigned char> scratch(static_cast<size_t>(count * kSectorBytes));
        for (long done = 0; done < count;) {
            const long got = drive_.read(lsn + done, count - done, scratch.data() + done * kSectorBytes);
            if (got <= 0)
                break;
            buffer_.read(lsn + done, got);
            reads_ += got;
            done += got;
        }
        return true;
    }
    return false;
}

bool Verifier::first_read()
{
    again_last_ = false;
    if (next_ >= pieces_.size() || held_ >= most_held_)
        return false;
    const Span s = pieces_[next_++];
    Piece p{s.lsn, s.count, {Read{}}, {s.lsn, {}, {}}};
    if (!read(s.lsn, s.count, p.reads.front(), 0))
        return false;
    work_ += s.count;
    held_ += s.count;
    window_.push_back(std::move(p));
    return true;
}

Verifier::Step Verifier::step(Stretch &ready)
{
    if (!window_.empty() && window_.front().done) {
        ready = std::move(window_.front().settled);
        held_ -= window_.front().count;
        work_ += window_.front().count;
        ready_ += window_.front().count;
        window_.pop_front();
        return Step::Ready;
    }
    // Second reads as they may come until the first seconds are ready, and
    // on while the drive has read ahead more than two thirds of its reach:
    // the music may start on them. From then on, a first read after each
    // second one: stretches come verified steadily, at half the drive's
    // speed, not a reach of them at once and then nothing while the drive
    // reads the next reach.
    steady_ = steady_ || (ready_ >= kFirstSeconds && held_ * 3 < reach_ * 2);
    if (again_last_ && steady_ && first_read())
        return Step::Read;
    if (failed_at_ >= 0)
        return Step::Failed;
    // Any stretch the drive can no longer answer from its buffer, read again.
    // Of those read once, the later read later: none of those is either.
    for (Piece &p : window_) {
        if (p.done)
            continue;
        if (!buffer_.fresh(p.lsn, p.count)) {
            if (p.reads.size() == 1)
                break;
            continue;
        }
        Read again;
        const bool differed = p.reads.size() > 1;
        if (!read(p.lsn, p.count, again, p.count / static_cast<long>(1 + p.reads.size())))
            return Step::Failed;
        p.reads.push_back(std::move(again));
        settle(p, false);
        again_last_ = true;
        return differed || !p.done ? Step::Again : Step::Read;
    }
    if (first_read())
        return Step::Read;
    if (failed_at_ >= 0)
        return Step::Failed;
    if (window_.empty())
        return Step::Done;
    if (flush())
        return Step::Read;
    // Nothing left the drive could still hold that would make way: the
    // first stretch, still waiting (else it would be ready), is taken as
    // its reads have it.
    settle(window_.front(), true);
    return Step::Read;
}

} // namespace verify
