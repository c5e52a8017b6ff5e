// The drives' language: a clear refusal, naming the line, of anything a
// drive does not follow. What they follow, every scenario uses.
#include <string>

#include <gtest/gtest.h>

#include "drive_script.h"
#include "test_names.h"

namespace {

struct Case {
    const char *name;
    DriveKind drive;
    std::string script;
    std::string error;
};

const Case kCases[] = {
    {"unknown_directive", DriveKind::Scripted, "tracks 450\nempty\n", "line 2: empty: not a directive of this drive"},
    {"another_drives_directive", DriveKind::Ioctl, "tracks 450\n\nspinup 200\n",
     "line 3: spinup 200: not a directive of this drive"},
    {"a_word_for_a_number", DriveKind::Scripted, "tracks 450 75x\n",
     "line 1: tracks 450 75x: cannot read its arguments"},
    {"a_word_too_many", DriveKind::Ioctl, "pause at 10 20\n", "line 1: pause at 10 20: cannot read its arguments"},
    {"an_argument_missing", DriveKind::Scripted, "eject after SDL_CDStatus\n",
     "line 1: eject after SDL_CDStatus: cannot read its arguments"},
};

class Refused : public ::testing::TestWithParam<Case> {};

TEST_P(Refused, NamingTheLine)
{
    DriveScript s;
    EXPECT_EQ(parse_script(GetParam().script, GetParam().drive, s), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(DriveScript, Refused, ::testing::ValuesIn(kCases), ByName());

} // namespace
