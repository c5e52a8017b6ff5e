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

// Each 16-bit sample's middle value among the reads, at bytes [from, to).
void middle(const std::vector<std::vector<unsigned char>> &reads, size_t from, size_t to, unsigned char *out)
{
    std::vector<int16_t> values(reads.size());
    for (size_t at = from; at + 1 < to; at += 2) {
        for (size_t r = 0; r < reads.size(); ++r)
            std::memcpy(&values[r], reads[r].data() + at, 2);
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

bool Verifier::read(long lsn, long count, unsigned char *into, long split)
{
    // In two requests where asked, so that the ends of the drive's reads,
    // where a drive may slip, are not where they were the time before.
    for (long done = 0; done < count;) {
        const long ask = done == 0 && split > 0 && split < count ? split : count - done;
        const long got = drive_.read(lsn + done, ask, into + done * kSectorBytes);
        if (got <= 0) {
            errno = got == 0 ? EIO : errno;
            failed_at_ = lsn + done;
            return false;
        }
        buffer_.read(lsn + done, got);
        reads_ += got;
        done += got;
    }
    return true;
}

void Verifier::settle(Piece &p, bool last_chance)
{
    const auto &copies = p.reads;
    last_chance = last_chance || static_cast<int>(copies.size()) >= kMostReads;
    for (size_t r = 0; r + 1 < copies.size(); ++r)
        if (copies[r] == copies.back()) {
            p.settled.data = std::move(p.reads.back());
            p.reads.clear();
            p.done = true;
            return;
        }
    if (copies.size() < 2 && !last_chance)
        return;
    // Block by block, the first that two reads agree on.
    std::vector<unsigned char> data(copies.front().size());
    std::vector<std::pair<long, long>> unsure;
    for (size_t at = 0; at < data.size(); at += kBlock) {
        const size_t n = std::min(kBlock, data.size() - at);
        bool agreed = false;
        for (size_t i = 0; i < copies.size() && !agreed; ++i)
            for (size_t j = i + 1; j < copies.size() && !agreed; ++j)
                if (std::memcmp(copies[i].data() + at, copies[j].data() + at, n) == 0) {
                    std::memcpy(data.data() + at, copies[i].data() + at, n);
                    agreed = true;
                }
        if (agreed)
            continue;
        middle(copies, at, at + n, data.data());
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

Verifier::Step Verifier::step(Stretch &ready)
{
    if (!window_.empty() && window_.front().done) {
        ready = std::move(window_.front().settled);
        held_ -= window_.front().count;
        work_ += window_.front().count;
        window_.pop_front();
        return Step::Ready;
    }
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
        std::vector<unsigned char> again(static_cast<size_t>(p.count * kSectorBytes));
        const bool differed = p.reads.size() > 1;
        if (!read(p.lsn, p.count, again.data(), p.count / static_cast<long>(1 + p.reads.size())))
            return Step::Failed;
        p.reads.push_back(std::move(again));
        settle(p, false);
        return differed || !p.done ? Step::Again : Step::Read;
    }
    if (next_ < pieces_.size() && held_ < most_held_) {
        const Span s = pieces_[next_++];
        Piece p{s.lsn, s.count, {std::vector<unsigned char>(static_cast<size_t>(s.count * kSectorBytes))}, {s.lsn, {}, {}}};
        if (!read(s.lsn, s.count, p.reads.front().data(), 0))
            return Step::Failed;
        work_ += s.count;
        held_ += s.count;
        window_.push_back(std::move(p));
        return Step::Read;
    }
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
