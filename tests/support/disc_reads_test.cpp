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

} // namespace
