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

// What tbx-play says on standard error around tbx's lines.
namespace companion {

inline std::string reading(const std::string &drive, const std::string &folder)
{
    return "Reading the disc in " + drive + " into " + folder + "; it plays while it is read.\n";
}
inline std::string reading_track(int k, int n)
{
    return "Reading track " + std::to_string(k) + " of " + std::to_string(n) + "\n";
}
inline std::string waits_for_the_drive() { return "The music waits for the read: the drive reads slower than real time.\n"; }
inline std::string kept(const std::string &folder) { return "Read the whole disc; it is kept in " + folder + ".\n"; }
// A place read with errors, at minutes:seconds into the track, so long:
// "track 2 at 0:01 (0.13 s)"; said as it is found, and when the disc is kept.
inline std::string place(int track, const std::string &at, const std::string &seconds)
{
    return "track " + std::to_string(track) + " at " + at + " (" + seconds + " s)";
}
inline std::string damaged(const std::string &place)
{
    return "Read with errors: " + place + "; the disc is damaged there.\n";
}
inline std::string kept(const std::string &folder, const std::string &places)
{
    return "Read the whole disc; it is kept in " + folder + ". Read with errors, and read again next time: " + places +
           ".\n";
}
// The next run, on a disc kept with tracks read with errors ("track 2").
inline std::string reading_damaged_again(const std::string &drive, const std::string &folder, const std::string &tracks)
{
    return "Playing the disc in " + drive + ", read before, from " + folder +
           "; reading again what was read with errors there: " + tracks + ".\n";
}
inline std::string exact_now(int track, const std::string &folder)
{
    return "Read track " + std::to_string(track) + " again: it is exact now; it is kept in " + folder + ".\n";
}
inline std::string no_better(int track, const std::string &folder)
{
    return "Read track " + std::to_string(track) + " again: no better than before; it is kept as it was in " + folder +
           ", to be read again next time.\n";
}
inline std::string read_before(const std::string &drive, const std::string &folder)
{
    return "Playing the disc in " + drive + ", read before, from " + folder + ".\n";
}
inline std::string read_again(const std::string &folder)
{
    return "tbx-play: " + folder + " does not hold the whole disc; reading it again.\n";
}
inline std::string waiting(const std::string &drive)
{
    return "tbx-play: another tbx-play is reading the disc in " + drive + "; waiting for it.\n";
}
inline std::string no_audio(const std::string &drive)
{
    return "Playing the disc in " + drive + " through the drive's own output: it holds no audio track.\n";
}

// A fault during a read ends it so.
inline const std::string kNothingKept = "; nothing was kept, the next run reads the disc again.\n";
inline const std::string kStoppedReading = "tbx-play: stopped" + kNothingKept;
inline const std::string kStopped = "tbx-play: stopped.\n";
// How a read ends that the drive or the disc ended, at minutes:seconds into the track.
inline std::string drive_error(const std::string &drive, int track, const std::string &at, const std::string &why)
{
    return "tbx-play: the drive " + drive + " could not read track " + std::to_string(track) + " at " + at + ": " +
           why + kNothingKept;
}
inline std::string taken_out(const std::string &drive, int track, const std::string &at)
{
    return "tbx-play: the disc was taken out of " + drive + " while track " + std::to_string(track) + " was read at " +
           at + kNothingKept;
}
inline std::string disk_full(const std::string &cache) { return "tbx-play: no space left on the disk for the cache in " + cache + kNothingKept; }
// The cache's folder refused, and what cannot be done in it.
inline std::string not_yours(const std::string &cache, const std::string &why)
{
    return "tbx-play: the cache's folder " + cache + " is not yours alone: it is " + why +
           "; set XDG_CACHE_HOME to a folder of your own.\n";
}
inline std::string cannot_lock(const std::string &lock, const std::string &why)
{
    return "tbx-play: cannot lock " + lock + ": " + why + ".\n";
}
inline std::string cannot_write(const std::string &path, const std::string &why)
{
    return "tbx-play: cannot write " + path + ": " + why + ".\n";
}
// A tbx that cannot be run, and why; "; nothing was kept..." or "." follows.
inline std::string cannot_run(const std::string &tbx, const std::string &why)
{
    return "tbx-play: cannot run " + tbx + ": " + why;
}
inline std::string cannot_write_out(const std::string &why)
{
    return "tbx-play: cannot write to standard output: " + why + ".\n";
}
inline std::string no_permission(const std::string &drive)
{
    return "tbx-play: you may not read the drive " + drive +
           ": add yourself to the group cdrom (sudo adduser $USER cdrom), then log in again.\n";
}
inline std::string no_compat(const std::string &folder, const std::string &package)
{
    return "tbx-play: sdl12-compat, which tbx plays the disc on, is not installed in " + folder +
           ": install the package " + package + ".\n";
}

} // namespace companion

// What scripts/play says before it hands over to tbx or tbx-play.
inline std::string on_the_drive(const std::string &drive)
{
    return "Playing the disc in " + drive + " through the drive's own output.\n";
}

} // namespace output

#endif
