// The verifier against drives that keep what they read in a buffer, report
// it or not, over discs damaged here and there, on a virtual clock at the
// drive's speed: what it says it read alike twice is the disc's own, where
// the drive buffers no more than the verifier allows for; a scratch is read
// a few times and played on, said to be unsure; and the first seconds come
// as soon as the drive's buffer lets them.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disc_reads.h"
#include "test_names.h"
#include "verify.h"

namespace {

using verify::kSectorBytes;

// Track 1 starts at frame 150 in the drive's language, at sector 0 here.
constexpr int kLeadIn = 150;

// A disc's own bytes: the same for the same place, unlike any other's.
void own(int frame, unsigned char *out)
{
    for (int i = 0; i < kSectorBytes; i += 8) {
        std::uint64_t z = (static_cast<std::uint64_t>(frame) << 16 | static_cast<std::uint64_t>(i)) * 0x9e3779b97f4a7c15ULL;
        z ^= z >> 29;
        std::memcpy(out + i, &z, 8);
    }
}

// The drive over the script's disc: 25 sectors a request at most, at speed
// times real time from the disc, at once from its buffer; a request of an
// unreadable frame fails, and every request after the script's count
// where it fails after so many (CDROM_SEND_PACKET), each taking failing
// seconds.
class Drive : public verify::Drive {
public:
    Drive(const DriveScript &script, double speed, double failing = 0)
        : script_(script), disc_(script, own), speed_(speed), failing_(failing)
    {
    }
    long read(long lsn, long count, unsigned char *into) override
    {
        if (!script_.fail_after_call.empty() && ++requests_ > script_.fail_after_count) {
            if (first_failed_ < 0) {
                first_failed_ = lsn;
                failed_since_ = seconds_;
            }
            seconds_ += failing_;
            errno = EIO;
            return -1;
        }
        count = std::min(count, 25L);
        for (long i = 0; i < count; ++i)
            if (script_.unreadable.count(static_cast<int>(lsn + i) + kLeadIn) != 0) {
                errno = EIO;
                return -1;
            }
        for (long i = 0; i < count; ++i) {
            const int frame = static_cast<int>(lsn + i) + kLeadIn;
            seconds_ += disc_.read(frame, into + i * kSectorBytes) ? 1 / (75 * speed_) : 0;
        }
        return count;
    }
    double seconds() override { return seconds_; }
    // Where the drive first failed, and when.
    long first_failed() const { return first_failed_; }
    double failed_since() const { return failed_since_; }

private:
    const DriveScript &script_;
    DiscReads disc_;
    double speed_;
    double failing_;
    double seconds_ = 0;
    long requests_ = 0;
    long first_failed_ = -1;
    double failed_since_ = 0;
};

// Three tracks of 20 s.
const std::vector<verify::Span> kTracks = {{0, 1500}, {1500, 1500}, {3000, 1500}};

struct Case {
    const char *name;
    std::string script; // the drive's buffer, what it reports, the damage
    std::vector<verify::Span> wanted;
    bool may_leak;     // the drive buffers more than it reports: a sure sector may be wrong
    long unsure_least; // sectors said unsure, at least and at most
    long unsure_most;
    bool damaged_start; // within the first 4 s: a stretch there may be read up to kMostReads times
};

const std::string kTrackOne = "damaged 300 599 0.3\n"; // 2 s to 6 s into track 1
const std::string kTrackTwo = "damaged 1800 2099 0.3\n";
const std::string k2Mb = "cache 890\n", k4Mb = "cache 1800\n";

const Case kCases[] = {
    {"no_buffer", "", kTracks, false, 0, 0, false},
    {"no_buffer_damaged", kTrackOne, kTracks, false, 0, 0, true},
    // 2 MB, 890 sectors, reported or not: within the 1200 sectors assumed.
    {"buffer_of_2_mb_reported", k2Mb + "reports 2048\n" + kTrackOne, kTracks, false, 0, 0, true},
    {"buffer_of_2_mb_reported_damage_in_track_2", k2Mb + "reports 2048\n" + kTrackTwo, kTracks, false, 0, 0, false},
    {"buffer_of_2_mb_unreported", k2Mb + kTrackOne, kTracks, false, 0, 0, true},
    {"buffer_of_2_mb_unreported_damage_in_track_2", k2Mb + kTrackTwo, kTracks, false, 0, 0, false},
    {"buffer_of_4_mb_reported", k4Mb + "reports 4096\n" + kTrackOne, kTracks, false, 0, 0, true},
    {"buffer_of_4_mb_reported_damage_in_track_2", k4Mb + "reports 4096\n" + kTrackTwo, kTracks, false, 0, 0, false},
    {"buffer_of_512_kb_reported", "cache 218\nreports 512\n" + kTrackOne, kTracks, false, 0, 0, true},
    {"buffer_of_512_kb_reported_clean", "cache 218\nreports 512\n", kTracks, false, 0, 0, false},
    // Only the second track, as when it is read again: the first and the
    // third make way for its second reads.
    {"one_track_of_three", k2Mb + "reports 2048\n" + kTrackTwo, {{1500, 1500}}, false, 0, 0, true},
    // Ten sectors that never read the same: read five times, then played
    // on from their reads' middle values (what two reads must agree on may
    // reach into the sector after).
    {"scratch", "unsteady 300 301 302 303 304 305 306 307 308 309\n", kTracks, false, 10, 11, true},
    // Ten the drive cannot read at all, while it reads the rest: silence there.
    {"unreadable", "unreadable 300 301 302 303 304 305 306 307 308 309\n", kTracks, false, 10, 11, true},
    // Proof that the cases could see a leak: a 4 MB buffer the drive does not report.
    {"buffer_of_4_mb_unreported", k4Mb + kTrackOne, kTracks, true, 0, 0, true},
};

class Verified : public ::testing::TestWithParam<Case> {};

TEST_P(Verified, IsTheDiscsOwnWhereTheDriveBuffersNoMoreThanAllowedFor)
{
    const Case &c = GetParam();
    DriveScript script;
    ASSERT_EQ(parse_script(c.script, DriveKind::Ioctl, script), "");
    Drive drive(script, 4);
    const long reach = verify::reach_of(script.reports_kb);
    verify::Verifier verifier(drive, c.wanted, kTracks, reach);

    size_t span = 0;
    long next = c.wanted.front().lsn, ready = 0, wrong = 0, unsure = 0;
    double first = -1, nine = -1, last_ready = 0, longest_wait = 0;
    std::vector<unsigned char> truth(kSectorBytes);
    verify::Stretch s;
    for (int steps = 0;; ++steps) {
        ASSERT_LT(steps, 100000) << "it never ends";
        const verify::Verifier::Step step = verifier.step(s);
        ASSERT_NE(step, verify::Verifier::Step::Failed);
        if (step == verify::Verifier::Step::Done)
            break;
        if (step != verify::Verifier::Step::Ready)
            continue;
        // In order, each sector once.
        ASSERT_EQ(s.lsn, next);
        const long count = static_cast<long>(s.data.size()) / kSectorBytes;
        std::vector<bool> sure(s.data.size(), true);
        for (const auto &[from, to] : s.unsure)
            std::fill(sure.begin() + from, sure.begin() + to, false);
        for (long i = 0; i < count; ++i) {
            own(static_cast<int>(s.lsn + i) + kLeadIn, truth.data());
            const long at = i * kSectorBytes;
            bool unsure_here = false;
            for (long b = 0; b < kSectorBytes; ++b) {
                unsure_here = unsure_here || !sure[static_cast<size_t>(at + b)];
                wrong += sure[static_cast<size_t>(at + b)] && s.data[static_cast<size_t>(at + b)] != truth[static_cast<size_t>(b)];
            }
            unsure += unsure_here;
        }
        ready += count;
        next += count;
        if (span < c.wanted.size() && next == c.wanted[span].lsn + c.wanted[span].count && ++span < c.wanted.size())
            next = c.wanted[span].lsn;
        if (ready > verify::kFirstSeconds + reach)
            longest_wait = std::max(longest_wait, drive.seconds() - last_ready);
        last_ready = drive.seconds();
        if (first < 0 && ready >= 300)
            first = drive.seconds();
        if (nine < 0 && ready >= 675)
            nine = drive.seconds();
    }
    long all = 0;
    for (const verify::Span &w : c.wanted)
        all += w.count;
    EXPECT_EQ(ready, all);
    EXPECT_EQ(verifier.work(), verifier.work_total());
    if (c.may_leak) {
        EXPECT_GT(wrong, 0) << "bytes said read alike twice that are not the disc's";
    } else {
        EXPECT_EQ(wrong, 0) << "bytes said read alike twice that are not the disc's";
    }
    EXPECT_GE(unsure, c.unsure_least);
    EXPECT_LE(unsure, c.unsure_most);
    // The first 4 s, read, then again once the drive has read its reach
    // since, and again as often as a damaged stretch there needs; all of
    // it, each sector twice, the reach once or twice more, and a damaged
    // stretch of 4 s read three times more. At 4x: 300 sectors a second.
    const long gaps = 1 + (c.damaged_start ? verify::kMostReads - 2 : 0);
    EXPECT_LE(first, static_cast<double>(300 + 2 * verify::kStretch + gaps * (reach + verify::kStretch)) / 300)
        << "the first 4 s";
    EXPECT_LE(drive.seconds(), static_cast<double>(2 * all + 2 * reach + 3 * 300) / 300) << "the whole read";
    // Past the first seconds and a reach more, a clean disc's stretches come
    // one by one, a stretch read twice apart, never a reach at once after a
    // long wait.
    if (c.script.find("damaged") == std::string::npos && c.unsure_most == 0) {
        EXPECT_LE(longest_wait, 3.0 * verify::kStretch / 300) << "stretches came in bursts";
    }
    std::cout << c.name << ": first 4 s after " << first << " s, 9 s after " << nine << " s, all after " << drive.seconds() << " s, "
              << verifier.reads() << " sectors read for " << all << ", stretches at most " << longest_wait << " s apart\n";
}

INSTANTIATE_TEST_SUITE_P(Verifier, Verified, ::testing::ValuesIn(kCases), ByName());

struct Dead {
    const char *name;
    double failing; // seconds each failed read takes
};

// A drive that fails every read after its 100th, at once or a second at
// a time: no scratch, the read ends within seconds, where the failures began.
const Dead kDead[] = {{"failing_at_once", 0}, {"failing_slowly", 1}};

class NoLongerAnswering : public ::testing::TestWithParam<Dead> {};

TEST_P(NoLongerAnswering, EndsTheReadWhereItsFailuresBegan)
{
    DriveScript script;
    ASSERT_EQ(parse_script("fails after CDROM_SEND_PACKET 100\n", DriveKind::Ioctl, script), "");
    Drive drive(script, 4, GetParam().failing);
    verify::Verifier verifier(drive, kTracks, kTracks, verify::reach_of(0));
    verify::Stretch s;
    for (verify::Verifier::Step step; (step = verifier.step(s)) != verify::Verifier::Step::Failed;)
        ASSERT_NE(step, verify::Verifier::Step::Done);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(verifier.failed_at(), drive.first_failed());
    // Counted from the first failure's answer, to the one that passed the limit.
    EXPECT_LE(drive.seconds() - drive.failed_since(), verify::kDeadSeconds + 2 * GetParam().failing + 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Verifier, NoLongerAnswering, ::testing::ValuesIn(kDead), ByName());

} // namespace
