// The drives' language: what each drive takes, and a clear refusal, naming
// the line, of anything it does not follow.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_script.h"
#include "test_names.h"

namespace {

struct Case {
    const char *name;
    const char *const *drive;
    std::string script;
    std::string error; // "" when it is read
};

const Case kCases[] = {
    {"every_scripted_directive", kScriptedDirectives,
     "tracks 450 75\ndata 1\ntray empty\npause at 10\neject at 20\neject after SDL_CDStatus 5\ninit fail\n"
     "no drive\nno name\nclaim 150\nfail 0 1\nplayed 1\nerror 3\nspinup never\nshrink 4 1\n",
     ""},
    {"every_ioctl_directive", kIoctlDirectives,
     "tracks 450 75\n\ndata 1\ntray empty\npause at 10\neject at 20\neject after CDROMREADTOCHDR 5\nno drive\n"
     "tones 440 660\nunreadable 420\n",
     ""},
    {"unknown_directive", kScriptedDirectives, "tracks 450\nempty\n", "line 2: empty: not a directive of this drive"},
    {"another_drives_directive", kIoctlDirectives, "tracks 450\nspinup 200\n",
     "line 2: spinup 200: not a directive of this drive"},
    {"a_word_for_a_number", kScriptedDirectives, "tracks 450 75x\n", "line 1: tracks 450 75x: cannot read its arguments"},
    {"a_word_too_many", kIoctlDirectives, "pause at 10 20\n", "line 1: pause at 10 20: cannot read its arguments"},
    {"an_argument_missing", kScriptedDirectives, "eject after SDL_CDStatus\n",
     "line 1: eject after SDL_CDStatus: cannot read its arguments"},
};

class Parse : public ::testing::TestWithParam<Case> {};

TEST_P(Parse, ReadsOrNamesTheLine)
{
    DriveScript s;
    EXPECT_EQ(parse_script(GetParam().script, GetParam().drive, s), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(DriveScript, Parse, ::testing::ValuesIn(kCases), ByName());

TEST(DriveScript, WhatIsRead)
{
    DriveScript s;
    ASSERT_EQ(parse_script("tracks 450 75 300\ndata 0 2\neject after CDROMREADTOCHDR 5\nspinup never\n",
                           kScriptedDirectives, s),
              "");
    EXPECT_EQ(s.frames, (std::vector<long>{450, 75, 300}));
    EXPECT_EQ(s.data, (std::set<int>{0, 2}));
    EXPECT_EQ(s.eject_after_call, "CDROMREADTOCHDR");
    EXPECT_EQ(s.eject_after_count, 5);
    EXPECT_EQ(s.spinup_ms, -1);
}

} // namespace
