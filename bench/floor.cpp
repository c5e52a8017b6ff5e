// The floor under tbx: the same SDL calls in the same order, with the same
// sleeps and polls, and nothing printed. What it costs to run is what SDL
// and the drive cost; tbx cannot cost less.
#include <algorithm>
#include <cstdlib>

#include "SDL.h"

int main()
{
    if (SDL_Init(SDL_INIT_CDROM | SDL_INIT_AUDIO) < 0)
        return -1;
    std::atexit(SDL_Quit);

    SDL_CD *cdrom = SDL_CDOpen(0);
    if (cdrom == nullptr || !CD_INDRIVE(SDL_CDStatus(cdrom)))
        return -1;
    SDL_CDName(0);

    for (int i = 0; i < std::min(cdrom->numtracks, SDL_MAX_TRACKS); ++i) {
        if (!CD_INDRIVE(SDL_CDStatus(cdrom)))
            return -1;
        if (i == std::min(cdrom->numtracks, SDL_MAX_TRACKS) - 1)
            SDL_CDPlayTracks(cdrom, i, 0, 0, 0);
        else
            SDL_CDPlayTracks(cdrom, i, 0, 1, 0);

        SDL_Delay(100);
        while (SDL_CDStatus(cdrom) == CD_PLAYING)
            SDL_Delay(3000);
    }
    return 0;
}
