// The tune finder that checks the demo disc's recording: it must hear tunes
// played whole and in order, and nothing else.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_names.h"
#include "tones.h"

namespace {

constexpr int kRate = 8000;

// A plucked tune: notes of one or two beats, each dying away, picked from the starting state.
std::vector<float> tune(std::uint32_t state, double beat, int notes)
{
    std::vector<float> out;
    for (int n = 0; n < notes; ++n) {
        state = state * 1664525 + 1013904223;
        const double hz = 220 * std::pow(2.0, (state >> 24) % 12 / 12.0);
        const double len = beat * (1 + (state >> 16) % 2);
        for (int i = 0; i < static_cast<int>(len * kRate); ++i) {
            const double t = static_cast<double>(i) / kRate;
            out.push_back(static_cast<float>(0.5 * std::exp(-6 * t) * std::sin(2 * M_PI * hz * t)));
        }
    }
    return out;
}

std::vector<float> silence(double seconds) { return tones::synth({{0, seconds}}, kRate); }
std::vector<float> noise(double seconds) { return tones::synth({{-1, seconds, 0.15}}, kRate); }

std::vector<float> join(const std::vector<std::vector<float>> &parts)
{
    std::vector<float> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

const std::vector<float> kA = tune(1, 0.24, 20), kB = tune(2, 0.22, 24), kC = tune(3, 0.26, 20);

std::vector<float> first_half(const std::vector<float> &t) { return {t.begin(), t.begin() + static_cast<long>(t.size() / 2)}; }

struct Case {
    const char *name;
    std::vector<float> recording;
    std::vector<bool> heard; // A, B and C
};

const Case kCases[] = {
    {"in_order", join({silence(0.5), kA, silence(1), kB, silence(0.7), kC, silence(2)}), {true, true, true}},
    {"in_order_back_to_back", join({kA, kB, kC}), {true, true, true}},
    // Searched in order: B is found after C, and no C after B.
    {"last_two_swapped", join({silence(0.5), kA, silence(1), kC, silence(1), kB}), {true, true, false}},
    {"second_missing", join({kA, silence(6), kC}), {true, false, true}},
    {"last_cut_short", join({kA, silence(1), kB, silence(1), first_half(kC), silence(3)}), {true, true, false}},
    {"silence", silence(20), {false, false, false}},
    {"noise", noise(20), {false, false, false}},
};

class Tunes : public ::testing::TestWithParam<Case> {};

TEST_P(Tunes, HeardWholeAndInOrder)
{
    const Case &c = GetParam();
    const std::vector<tunes::Found> found = tunes::find_in_order(c.recording, {kA, kB, kC}, kRate);
    ASSERT_EQ(found.size(), 3U);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(found[i].found, c.heard[i]) << "tune " << i << ": similarity " << found[i].similarity;
}

INSTANTIATE_TEST_SUITE_P(Finder, Tunes, ::testing::ValuesIn(kCases), ByName());

} // namespace
