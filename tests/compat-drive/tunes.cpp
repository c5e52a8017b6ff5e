#include "tones.h"

#include <cmath>

namespace tunes {

namespace {

constexpr double kWindowS = 0.01;
// The recording's windows start ten times as often, so that some line up
// with the tune's to within a millisecond: a tune's loudness changes faster
// than a window's misalignment would allow for.
constexpr size_t kSteps = 10;
constexpr double kMinSimilarity = 0.9;

// The loudness of each window, starting one every step samples.
std::vector<double> envelope(const std::vector<float> &samples, int rate, size_t steps = 1)
{
    const size_t n = static_cast<size_t>(kWindowS * rate) / kSteps * kSteps;
    std::vector<double> rms;
    for (size_t at = 0; at + n <= samples.size(); at += n / steps) {
        double sum = 0;
        for (size_t i = at; i < at + n; ++i)
            sum += static_cast<double>(samples[i]) * samples[i];
        rms.push_back(std::sqrt(sum / static_cast<double>(n)));
    }
    return rms;
}

// Pearson's correlation of a against every kSteps-th of b from offset on.
double similarity(const std::vector<double> &a, const std::vector<double> &b, size_t offset)
{
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    const auto n = static_cast<double>(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        const double x = a[i], y = b[offset + i * kSteps];
        sa += x;
        sb += y;
        saa += x * x;
        sbb += y * y;
        sab += x * y;
    }
    const double var = (saa - sa * sa / n) * (sbb - sb * sb / n);
    return var <= 0 ? 0 : (sab - sa * sb / n) / std::sqrt(var);
}

} // namespace

std::vector<Found> find_in_order(const std::vector<float> &recording, const std::vector<std::vector<float>> &tunes,
                                 int rate)
{
    const std::vector<double> heard = envelope(recording, rate, kSteps);
    std::vector<Found> found;
    size_t from = 0;
    for (const std::vector<float> &tune : tunes) {
        std::vector<double> made = envelope(tune, rate);
        // From its first sound to its last.
        size_t first = 0, last = made.size();
        while (first < last && made[first] < tones::kQuietRms)
            ++first;
        while (last > first && made[last - 1] < tones::kQuietRms)
            --last;
        made = std::vector<double>(made.begin() + static_cast<long>(first), made.begin() + static_cast<long>(last));

        Found best = {false, 0, static_cast<double>(made.size()) * kWindowS, -1};
        size_t best_at = from;
        for (size_t at = from; !made.empty() && at + (made.size() - 1) * kSteps < heard.size(); ++at) {
            const double s = similarity(made, heard, at);
            if (s > best.similarity) {
                best.similarity = s;
                best_at = at;
            }
        }
        best.start = static_cast<double>(best_at) * kWindowS / kSteps;
        best.found = best.similarity >= kMinSimilarity;
        found.push_back(best);
        if (best.found)
            from = best_at + made.size() * kSteps;
    }
    return found;
}

} // namespace tunes
