#ifndef TBX_TESTS_DRIVE_RUN_H
#define TBX_TESTS_DRIVE_RUN_H

// A program run on an emulated drive, and what the drive's log says it did.
// Both drives log a call a line (drive_script.h says how they are told
// what to do):
//
//   <ms> <bytes of standard output flushed, -1 where unknown> <call>(<arguments>)[ = <result>]
//
// e.g. "3100 161 SDL_CDPlayTracks(1,0,1,0) = 0" or "2012 -1 CDROMPLAYMSF(0:2:0,0:3:15) = 0".
#include <string>
#include <vector>

#include "output.h"
#include "process.h"

struct Call {
    long ms = 0;
    long flushed = -1;
    std::string name;
    std::string arguments;
    std::string result;

    std::string what() const { return name + "(" + arguments + ")" + (result.empty() ? "" : " = " + result); }
    // Without the bytes flushed: for runs whose output went nowhere.
    std::string timed() const { return std::to_string(ms) + " " + what(); }
};

std::vector<Call> read_log(const std::string &path);

struct DriveRun : Exit {
    std::vector<Call> calls;

    std::vector<Call> named(const std::string &name) const;
    // The arguments of each play command, in order: SDL_CDPlayTracks's or CDROMPLAYMSF's.
    std::vector<std::string> plays() const;
    // Every call's Call::timed().
    std::vector<std::string> timed() const;
    // Whether audio was read from the drive (a READ CD packet).
    bool read_audio() const;
};

// Runs spawn with the drive told script; the drive comes with the program
// (the scripted drive) or with spawn.env (LD_PRELOAD, the ioctl drive).
DriveRun run_on_drive(Spawn spawn, const std::string &script);

// SDL's disk audio driver, recording into dir/capture, as fast as it goes
// or in real time.
Env disk_audio(const TempDir &dir, bool real_time);

// Where scripts/play and tbx-play read a disc: the ioctl drive (the module
// ioctl_drive) at kDiscDrive, tbx the tbx to play it, the cache under dir,
// and disk_audio.
inline const std::string kDiscDrive = "/dev/tbx-cd";
Env reading_a_disc(const std::string &ioctl_drive, const std::string &tbx, const TempDir &dir, bool real_time);

// The disc most scenarios play, and the lines tbx announces its tracks with.
inline const std::string kThreeTracks = "tracks 450 75 300\n";
inline const std::string kThreeTrackLines[] = {output::track(0, "0:6"), output::track(1, "0:1"),
                                               output::track(2, "0:4")};

#endif
