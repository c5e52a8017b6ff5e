#ifndef TBX_TESTS_DRIVE_RUN_H
#define TBX_TESTS_DRIVE_RUN_H

// Runs a program linked against the scripted drive on a script, and reads
// back the drive's log of the calls the program made.
#include <string>
#include <vector>

#include "process.h"

struct DriveCall {
    long t;           // virtual milliseconds
    long out;         // bytes of standard output flushed by then
    std::string what; // "<call>(<arguments>) = <result>"

    std::string timed() const { return std::to_string(t) + " " + what; }
};

struct DriveRun {
    Exit exit;
    std::vector<DriveCall> calls;
};

// spawn.argv names the program; the drive's script and log are added to its environment.
DriveRun run_on_drive(Spawn spawn, const std::string &script);

#endif
