#ifndef TBX_TESTS_OUTPUT_H
#define TBX_TESTS_OUTPUT_H

// What tbx prints, byte for byte, for the suites to expect.
#include <string>

#include "version.h"

namespace output {

inline const std::string kNoInit = "tbx: Unable to initialize CDROM.\n";
inline const std::string kNoDrive = "tbx: Unable to open CD Drive.\n";
inline const std::string kNoDisc = "tbx: No CD in drive\n";
inline const std::string kWarning = "tbx: Error Playing Track. Continuing With the Next Track.\n";

// The banner, the drive line and the track count.
inline std::string header(int tracks, const std::string &drive)
{
    return "Tonbox ver " TBX_VERSION ". Written by the Tonbox developers.\n"
           "Plays every track of the audio CD in the first drive, in order.\n"
           "\nCD Drive: [ " +
           drive + " ]\nNo of Tracks: " + std::to_string(tracks) + "\n";
}

inline std::string track(int i, const std::string &length)
{
    return "\tPlaying Track [ " + std::to_string(i) + " ]: Length " + length + "\n";
}

// What scripts/play says around tbx when it reads a disc digitally.
namespace launcher {

inline std::string reading(const std::string &drive, const std::string &folder)
{
    return "Reading the disc in " + drive + " digitally into " + folder + ".\n";
}
inline const std::string kRead = "Read: playing it on sdl12-compat's emulated drive.\n";
inline std::string read_before(const std::string &drive, const std::string &folder)
{
    return "Playing the disc in " + drive + ", read before, from " + folder + ".\n";
}
inline std::string unreadable(int track)
{
    return "play: track " + std::to_string(track) +
           " could not be read; nothing was kept, the next run reads the disc again.\n";
}

} // namespace launcher

} // namespace output

#endif
