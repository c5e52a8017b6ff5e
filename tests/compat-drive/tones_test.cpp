// The analysis the real-time tests rely on, on made-up signals whose runs are known.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_names.h"
#include "tones.h"

namespace {

const std::vector<double> kHz = {440, 660, 990};

struct Case {
    const char *name;
    std::vector<tones::Piece> pieces;
    std::string runs;
};

const Case kCases[] = {
    {"tones_between_silences", {{0, 0.1, 0}, {440, 1, 0.5}, {0, 0.5, 0}, {990, 0.3, 0.5}},
     "silence 0.00-0.10 440Hz 0.10-1.10 silence 1.10-1.60 990Hz 1.60-1.90"},
    {"one_tone_straight_after_another", {{660, 0.2, 0.5}, {440, 0.2, 0.5}}, "660Hz 0.00-0.20 440Hz 0.20-0.40"},
    {"loud_and_soft_tones_alike", {{440, 0.2, 1}, {440, 0.2, 0.01}}, "440Hz 0.00-0.40"},
    {"below_minus_60_dbfs_is_silence", {{440, 0.2, 0.001}}, "silence 0.00-0.20"},
    {"a_pitch_between_two_tones_is_other", {{550, 0.2, 0.5}}, "other 0.00-0.20"},
    {"noise_is_other", {{-1, 0.2, 0.5}}, "other 0.00-0.20"},
    {"nothing_to_hear", {}, ""},
};

class Analysis : public ::testing::TestWithParam<Case> {};

TEST_P(Analysis, FindsTheRuns)
{
    const Case &c = GetParam();
    EXPECT_EQ(tones::describe(tones::tone_runs(tones::synth(c.pieces), kHz), kHz), c.runs);
}

INSTANTIATE_TEST_SUITE_P(Tones, Analysis, ::testing::ValuesIn(kCases), ByName());

TEST(Tones, LongestRunOfATone)
{
    const std::vector<tones::Run> runs =
        tones::tone_runs(tones::synth({{440, 0.1, 0.5}, {0, 0.1, 0}, {440, 0.3, 0.5}, {660, 0.2, 0.5}}), kHz);
    const tones::Run *r = tones::longest(runs, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_NEAR(r->start, 0.2, 1e-9);
    EXPECT_NEAR(r->end, 0.5, 1e-9);
    EXPECT_EQ(tones::longest(runs, 2), nullptr);
}

} // namespace
