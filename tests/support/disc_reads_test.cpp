// What a read of the emulated disc gives: the disc's own frame, unless the
// script says the drive answers from its buffer or the disc is damaged
// there; and each run reads as the run before it did.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disc_reads.h"
#include "test_names.h"

namespace {

using Frame = std::vector<unsigned char>;

void own(int frame, unsigned char *out) { std::memset(out, frame & 0xff, DiscReads::kFrameBytes); }

struct Case {
    const char *name;
    const char *script;
    std::vector<int> reads; // frames, in order
    // Of each read, in order: 'd' the disc's own frame, 'w' anything else
    // from the disc, and not what the frame gave before; '=' from the
    // buffer, the same bytes as the frame's read before.
    std::string gives;
};

const Case kCases[] = {
    {"plain_disc", "", {10, 11, 10}, "ddd"},
    {"buffer_answers_what_it_holds", "cache 2\n", {10, 11, 10, 11}, "dd=="},
    // The oldest frame goes as a third comes in; a frame answered from the
    // buffer stays as old as it was.
    {"buffer_holds_the_last_frames_read", "cache 2\n", {10, 11, 10, 12, 11, 10}, "dd=d=d"},
    {"unsteady_frame_differs_at_every_read", "unsteady 10\n", {10, 10, 11}, "wwd"},
    {"buffer_repeats_a_damaged_read", "unsteady 10\ncache 4\n", {10, 10, 10}, "w=="},
    {"damage_certain", "damaged 10 11 1\n", {9, 10, 11, 12}, "dwwd"},
    {"damage_never", "damaged 10 11 0\n", {10, 11}, "dd"},
};

class Reads : public ::testing::TestWithParam<Case> {};

TEST_P(Reads, GiveWhatTheDriveWould)
{
    const Case &c = GetParam();
    DriveScript script;
    ASSERT_EQ(parse_script(c.script, DriveKind::Ioctl, script), "");
    DiscReads disc(script, own);
    std::vector<Frame> before(64);
    std::string gave;
    for (const int f : c.reads) {
        Frame got(DiscReads::kFrameBytes), clean(DiscReads::kFrameBytes);
        const bool from_disc = disc.read(f, got.data());
        own(f, clean.data());
        const bool again = got == before[static_cast<size_t>(f)];
        gave += !from_disc ? (again ? '=' : '?') : got == clean ? 'd' : again ? '?' : 'w';
        before[static_cast<size_t>(f)] = got;
    }
    EXPECT_EQ(gave, c.gives);
}

INSTANTIATE_TEST_SUITE_P(DiscReads, Reads, ::testing::ValuesIn(kCases), ByName());

// At a chance of 0.3, about that share of reads is damaged, each in a burst
// of a few samples; and another run of the same reads gives the same bytes.
TEST(DiscReads, DamageAtAChanceIsABurstAndTheSameRunAfterRun)
{
    DriveScript script;
    ASSERT_EQ(parse_script("damaged 0 999 0.3\n", DriveKind::Ioctl, script), "");
    DiscReads one(script, own), two(script, own);
    int damaged = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (int f = 0; f < 1000; ++f) {
            Frame a(DiscReads::kFrameBytes), b(DiscReads::kFrameBytes), clean(DiscReads::kFrameBytes);
            one.read(f, a.data());
            two.read(f, b.data());
            own(f, clean.data());
            ASSERT_EQ(a, b) << "frame " << f;
            size_t first = 0, last = 0;
            for (size_t i = 0; i < a.size(); ++i)
                if (a[i] != clean[i]) {
                    first = first == 0 ? i + 1 : first;
                    last = i + 1;
                }
            damaged += first != 0;
            EXPECT_LE(last - first, 40U * 4) << "frame " << f;
        }
    EXPECT_GT(damaged, 2000 * 0.25);
    EXPECT_LT(damaged, 2000 * 0.35);
}

} // namespace
