#ifndef TBX_TESTS_DRIVE_SCRIPT_H
#define TBX_TESTS_DRIVE_SCRIPT_H

// The language every emulated drive is told its disc and faults in: the
// scripted drive (tests/scripted-drive/) and the ioctl drive
// (tests/ioctl-drive/) read the file TBX_DRIVE_SCRIPT names, one directive a
// line, and append each call to the file TBX_DRIVE_LOG names (drive_run.h
// reads it back). Tracks are numbered from 0, as tbx announces them; times
// are milliseconds since the program started (virtual on the scripted drive).
//
//   tracks F F ...        the disc: one length in frames per track
//   data T ...            these tracks are data
//   tray empty            no disc in the drive
//   pause at MS           the drive pauses at MS if it is playing then
//   eject at MS           the disc leaves the tray at MS
//   eject after CALL N    the disc leaves right after the drive has answered its Nth CALL,
//                         e.g. "eject after SDL_CDStatus 5", "eject after CDROMREADTOCHDR 5"
//   no drive              there is no drive
// Only the scripted drive:
//   init fail             SDL_Init fails
//   no name               SDL_CDName(0) returns NULL
//   claim N               queries that find a disc report N tracks, whatever the table holds
//   fail T ...            a play command starting at track T returns -1
//   played R              what a play command that works returns (default 0)
//   error Q ...           status query number Q (from 1) answers CD_ERROR
//   spinup MS | never     after a play command the drive reports CD_STOPPED for MS, or for ever
//   shrink Q N            from status query Q+1 on, the table holds only its first N tracks
// Only the ioctl drive, which also serves audio to READ CD:
//   tones HZ ...          what the audio tracks hold, in order: a tone of HZ under low noise
//   unreadable F ...      reading frame F (track 0 starts at frame 150) fails with a medium error
//   speed X ...           READ CD takes as long as X times real time would, 75 X frames a second:
//                         one X a track, in order, the last for the tracks after it
//   unsteady F ...        frame F reads back different every time, as over a deep scratch
//   damaged F1 F2 P       each read of frames F1 to F2 from the disc gives, at the chance P (0 to 1),
//                         a burst of wrong samples, a fresh one each time, as over a scratch
//   cache N               the drive keeps the last N frames it read from the disc in its buffer and
//                         answers a read of any of them from there, as it read them then, at once
//   reports KB            MODE SENSE's CD capabilities page (2Ah) gives the drive's buffer as KB
//                         kilobytes; without it, as 0: the drive says nothing of it
//   stall F MS            the first read of frame F takes MS, as a drive stuck on a scratch does
//   stall on CALL N MS    the drive takes MS to answer its Nth CALL, as one spinning up does
//   fails after CALL N    every command after its Nth CALL fails with a hardware error, as a drive
//                         that no longer answers
//   no permission         opening the drive fails with EACCES, as for a user not in its group
//
// Built into an LD_PRELOAD module too: no exceptions, no files; each drive
// reads the text in its own way.
#include <set>
#include <string>
#include <vector>

struct DriveScript {
    std::vector<long> frames;
    std::set<int> data;
    bool tray_empty = false;
    long pause_at = -1;
    long eject_at = -1;
    std::string eject_after_call;
    long eject_after_count = 0;

    bool init_fails = false;
    bool no_drive = false;
    bool no_name = false;
    long claim = -1;
    std::set<int> failing;
    long played = 0;
    std::set<int> errors;
    long spinup_ms = 0; // -1: never
    long shrink_after = -1;
    long shrink_to = 0;

    std::vector<double> tones;
    std::set<int> unreadable;
    std::set<int> unsteady;
    struct Damage {
        int from, to;
        double chance;
    };
    std::vector<Damage> damaged;
    long cache = 0;
    long reports_kb = 0;
    int stall_at = -1;
    long stall_ms = 0;
    std::string stall_call;
    long stall_call_count = 0;
    long stall_call_ms = 0;
    std::string fail_after_call;
    long fail_after_count = 0;
    std::vector<double> speed; // none: at once
    bool no_permission = false;
};

enum class DriveKind { Any, Scripted, Ioctl };

// Reads text into script, taking only the directives drive follows.
// Returns "" or what is wrong, naming the line.
std::string parse_script(const std::string &text, DriveKind drive, DriveScript &script);

#endif
