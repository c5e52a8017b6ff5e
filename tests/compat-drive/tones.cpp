#include "tones.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>

namespace tones {

namespace {
// A tone must hold at least half the power.
constexpr double kMinShare = 0.5;

// How much of the power of n samples lies at hz, by a Goertzel filter:
// near 1 for a pure tone at hz, near 0 for other tones or noise.
double tone_share(const float *samples, std::size_t n, double hz, int rate)
{
    const double k = 2 * std::cos(2 * M_PI * hz / rate);
    double s1 = 0, s2 = 0, energy = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double s0 = samples[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += static_cast<double>(samples[i]) * samples[i];
    }
    if (energy == 0)
        return 0;
    // A sine of amplitude a gives a power of (a n / 2)^2 and an energy of a^2 n / 2.
    const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
    return power / (energy * n / 2);
}
} // namespace

std::vector<float> read_capture(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<float> mono;
    float frame[2];
    while (in.read(reinterpret_cast<char *>(frame), sizeof frame))
        mono.push_back((frame[0] + frame[1]) / 2);
    return mono;
}

void write_capture(const std::string &path, const std::vector<float> &mono)
{
    std::ofstream out(path, std::ios::binary);
    for (const float v : mono) {
        const float frame[2] = {v, v};
        out.write(reinterpret_cast<const char *>(frame), sizeof frame);
    }
}

std::vector<float> synth(const std::vector<Piece> &pieces, int rate)
{
    std::vector<float> s;
    std::minstd_rand random(7);
    std::uniform_real_distribution<float> noise(-1, 1);
    for (const Piece &p : pieces) {
        const auto n = static_cast<std::size_t>(p.seconds * rate);
        for (std::size_t i = 0; i < n; ++i) {
            const double v = p.hz > 0 ? std::sin(2 * M_PI * p.hz * i / rate) : p.hz < 0 ? noise(random) : 0;
            s.push_back(static_cast<float>(p.amplitude * v));
        }
    }
    return s;
}

std::vector<Run> tone_runs(const std::vector<float> &mono, const std::vector<double> &hz, double window_s, int rate)
{
    const auto n = static_cast<std::size_t>(window_s * rate);
    std::vector<Run> runs;
    for (std::size_t at = 0; n > 0 && at + n <= mono.size(); at += n) {
        double energy = 0;
        for (std::size_t i = at; i < at + n; ++i)
            energy += static_cast<double>(mono[i]) * mono[i];
        int tone = std::sqrt(energy / n) < kQuietRms ? kSilence : kOther;
        for (std::size_t t = 0; tone == kOther && t < hz.size(); ++t)
            if (tone_share(&mono[at], n, hz[t], rate) > kMinShare)
                tone = static_cast<int>(t);

        const double start = static_cast<double>(at) / rate, end = static_cast<double>(at + n) / rate;
        if (!runs.empty() && runs.back().tone == tone)
            runs.back().end = end;
        else
            runs.push_back({tone, start, end});
    }
    return runs;
}

const Run *longest(const std::vector<Run> &runs, int tone)
{
    const Run *best = nullptr;
    for (const Run &r : runs)
        if (r.tone == tone && (best == nullptr || r.end - r.start > best->end - best->start))
            best = &r;
    return best;
}

std::string describe(const std::vector<Run> &runs, const std::vector<double> &hz)
{
    std::string s;
    for (const Run &r : runs) {
        char line[64];
        const std::string what = r.tone == kSilence ? "silence"
                                 : r.tone == kOther ? "other"
                                                    : std::to_string(static_cast<int>(hz[r.tone])) + "Hz";
        std::snprintf(line, sizeof line, "%s%s %.2f-%.2f", s.empty() ? "" : " ", what.c_str(), r.start, r.end);
        s += line;
    }
    return s;
}

} // namespace tones
