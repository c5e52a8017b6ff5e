#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "SDL.h"
#include "report.h"
#include "version.h"

// A drive may not say it is playing until a moment after the play command;
// after that, a look every 3 seconds is enough.
constexpr Uint32 kSettleMs = 100;
constexpr Uint32 kPollMs = 3000;

int main(int argc, char *argv[])
{
    (void)argc;
    (void)argv;

    if (SDL_Init(SDL_INIT_CDROM | SDL_INIT_AUDIO) < 0)
        report("Unable to initialize CDROM.", 1);
    std::atexit(SDL_Quit);

    SDL_CD *cdrom = SDL_CDOpen(0);
    if (cdrom == nullptr)
        report("Unable to open CD Drive.", 1);
    // The first query also loads the table of contents into the record.
    if (!CD_INDRIVE(SDL_CDStatus(cdrom)))
        report("No CD in drive", 1);

    // The track count, read from the record afresh at every call: each status
    // query may change it. SDL never counts more than SDL_MAX_TRACKS; a layer
    // that does must not make us read past the track table.
    const auto tracks = [cdrom] { return std::min(cdrom->numtracks, SDL_MAX_TRACKS); };

    std::printf("Tonbox ver " TBX_VERSION ". Written by the Tonbox developers.\n");
    std::printf("Plays every track of the audio CD in the first drive, in order.\n");
    // SDL hands back no name for a drive it cannot find; print it empty.
    const char *name = SDL_CDName(0);
    std::printf("\nCD Drive: [ %s ]\n", name != nullptr ? name : "");
    std::printf("No of Tracks: %d\n", tracks());
    std::fflush(stdout);

    for (int i = 0; i < tracks(); ++i) {
        const int seconds = static_cast<int>(cdrom->track[i].length / CD_FPS);
        std::printf("\tPlaying Track [ %d ]: Length %d:%d\n", i, seconds / 60, seconds % 60);
        std::fflush(stdout);

        if (!CD_INDRIVE(SDL_CDStatus(cdrom)))
            report("No CD in drive", 1);
        // sdl12-compat refuses a one-track span ending at the lead-out; "to the end" is the same span.
        const bool last = i == tracks() - 1;
        const int played = last ? SDL_CDPlayTracks(cdrom, i, 0, 0, 0) : SDL_CDPlayTracks(cdrom, i, 0, 1, 0);

        SDL_Delay(kSettleMs);
        while (SDL_CDStatus(cdrom) == CD_PLAYING)
            SDL_Delay(kPollMs);

        if (played == CD_ERROR)
            report("Error Playing Track. Continuing With the Next Track.", 0);
    }
    return 0;
}
