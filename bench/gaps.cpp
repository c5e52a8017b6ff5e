// gaps CAPTURE HZ...: for a recording of SDL's disk driver playing a disc of
// tone tracks at these frequencies, prints for each track after the first
// "<track> <seconds>": how long it was from the end of the previous track's
// tone to the start of its own, or "<track> missing" when either never
// sounded. A track is the longest run of its tone; a shorter one is the
// moment of the next track sdl12-compat plays when it stops a track, which
// lies inside the gap.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tones.h"

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CAPTURE HZ...\n", argv[0]);
        return 2;
    }
    std::vector<double> hz;
    for (int i = 2; i < argc; ++i)
        hz.push_back(std::atof(argv[i]));
    const std::vector<tones::Run> runs = tones::tone_runs(tones::read_capture(argv[1]), hz);

    for (int i = 1; i < static_cast<int>(hz.size()); ++i) {
        const tones::Run *before = tones::longest(runs, i - 1), *track = tones::longest(runs, i);
        if (before == nullptr || track == nullptr)
            std::printf("%d missing\n", i);
        else
            std::printf("%d %.2f\n", i, track->start - before->end);
    }
    return 0;
}
