// A scripted CD-ROM drive standing in for libSDL in the test build.
//
// It defines, against SDL's own declarations, the few SDL calls the player
// makes. Time is virtual: SDL_Delay advances a clock and never sleeps. What
// the drive does is read from the file named by TBX_DRIVE_SCRIPT, one
// directive a line:
//
//   init fail            SDL_Init returns -1
//   no drive             SDL_CDOpen(0) returns NULL, SDL_CDName(0) too
//   name null | name T   the drive's name (default /dev/scripted)
//   tray empty           every status query finds no disc
//   tracks F F ...       the disc: one length in frames per track
//   data I ...           these track indexes are data tracks
//   claim N              queries that find a disc report N tracks, whatever the table holds
//   fail I ...           a play command starting at track I returns -1
//   played R             what a play command that works returns (default 0)
//   error Q ...          status query number Q (from 1) answers CD_ERROR
//   spinup MS | never    after a play command the drive reports CD_STOPPED for MS, or for ever
//   pause MS             the drive pauses at virtual time MS if it is playing then
//   eject at MS          the disc is taken out at virtual time MS
//   eject after Q        the disc is taken out right after status query Q
//   shrink Q N           from status query Q+1 on, the table holds only its first N tracks
//
// Every call is appended to the file named by TBX_DRIVE_LOG as
// "<virtual ms> <bytes of standard output written> <call> = <result>"; the
// byte count is standard output's file offset, so it counts only what the
// program has flushed. With TBX_DRIVE_CLOCK set, each line also ends with
// " @<ns>", the real CLOCK_MONOTONIC time of the call, for the benchmark.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "SDL.h"

namespace {

struct Script {
    int init_result = 0;
    bool drive = true;
    bool null_name = false;
    std::string name = "/dev/scripted";
    bool tray_empty = false;
    std::vector<Uint32> frames;
    std::set<int> data;
    int claim = -1;
    std::set<int> failing;
    int played = 0;
    std::set<int> errors;
    long spinup_ms = 0; // -1: never starts
    long pause_at = -1;
    long eject_at = -1;
    int eject_after = -1;
    int shrink_after = -1;
    int shrink_to = 0;
};

struct Drive {
    Script script;
    int log_fd = -1;
    bool clock = false;
    long now = 0;
    int queries = 0;
    bool ejected = false;
    bool playing = false; // a play command is in force
    long play_from = 0;   // when it starts sounding, after the spin-up
    long play_until = 0;
    SDL_CD record{};
};

Script load(const char *path)
{
    Script s;
    std::ifstream in(path != nullptr ? path : "");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, arg;
        words >> key;
        if (key == "init") {
            s.init_result = -1;
        } else if (key == "no") {
            s.drive = false;
        } else if (key == "name") {
            std::getline(words >> std::ws, arg);
            s.null_name = arg == "null";
            s.name = arg;
        } else if (key == "tray") {
            s.tray_empty = true;
        } else if (key == "tracks") {
            for (Uint32 f; words >> f;)
                s.frames.push_back(f);
        } else if (key == "data" || key == "fail" || key == "error") {
            std::set<int> &into = key == "data" ? s.data : key == "fail" ? s.failing : s.errors;
            for (int n; words >> n;)
                into.insert(n);
        } else if (key == "played") {
            words >> s.played;
        } else if (key == "claim") {
            words >> s.claim;
        } else if (key == "spinup") {
            words >> arg;
            s.spinup_ms = arg == "never" ? -1 : std::stol(arg);
        } else if (key == "pause") {
            words >> s.pause_at;
        } else if (key == "eject") {
            words >> arg;
            (arg == "at" ? (words >> s.eject_at) : (words >> s.eject_after));
        } else if (key == "shrink") {
            words >> s.shrink_after >> s.shrink_to;
        } else if (!key.empty() && key[0] != '#') {
            std::fprintf(stderr, "scripted drive: unknown directive: %s\n", line.c_str());
            std::abort();
        }
    }
    return s;
}

// Never destroyed: SDL_Quit runs from atexit and must still find it.
Drive &drive()
{
    static Drive *d = [] {
        auto *made = new Drive;
        made->script = load(std::getenv("TBX_DRIVE_SCRIPT"));
        const char *log = std::getenv("TBX_DRIVE_LOG");
        made->log_fd = log != nullptr ? open(log, O_WRONLY | O_CREAT | O_APPEND, 0644) : -1;
        made->clock = std::getenv("TBX_DRIVE_CLOCK") != nullptr;
        return made;
    }();
    return *d;
}

void log(const std::string &call)
{
    Drive &d = drive();
    std::string line = std::to_string(d.now) + " " + std::to_string(lseek(STDOUT_FILENO, 0, SEEK_CUR)) + " " + call;
    if (d.clock) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        line += " @" + std::to_string(ts.tv_sec * 1000000000LL + ts.tv_nsec);
    }
    line += "\n";
    if (d.log_fd >= 0 && write(d.log_fd, line.data(), line.size()) < 0)
        std::abort();
}

long ms(Uint32 frames) { return static_cast<long>(frames) * 1000 / CD_FPS; }

bool disc_out(const Drive &d)
{
    return d.script.tray_empty || d.ejected || (d.script.eject_at >= 0 && d.now >= d.script.eject_at);
}

// The table as the disc holds it now.
std::vector<Uint32> table(const Drive &d)
{
    std::vector<Uint32> t = d.script.frames;
    if (d.script.shrink_after >= 0 && d.queries > d.script.shrink_after && d.script.shrink_to < static_cast<int>(t.size()))
        t.resize(static_cast<size_t>(d.script.shrink_to));
    return t;
}

void fill_record(Drive &d)
{
    const std::vector<Uint32> t = table(d);
    d.record.numtracks = d.script.claim >= 0 ? d.script.claim : static_cast<int>(t.size());
    Uint32 offset = 150;
    for (size_t i = 0; i <= t.size() && i <= SDL_MAX_TRACKS; ++i) {
        SDL_CDtrack &tr = d.record.track[i];
        tr.id = static_cast<Uint8>(i + 1);
        tr.type = d.script.data.count(static_cast<int>(i)) ? SDL_DATA_TRACK : SDL_AUDIO_TRACK;
        tr.length = i < t.size() ? t[i] : 0; // the lead-out
        tr.offset = offset;
        offset += tr.length;
    }
}

CDstatus status_now(Drive &d)
{
    if (d.script.errors.count(d.queries))
        return CD_ERROR;
    if (disc_out(d)) {
        d.playing = false;
        return CD_TRAYEMPTY;
    }
    fill_record(d);
    if (!d.playing)
        return CD_STOPPED;
    const Script &s = d.script;
    if (s.pause_at >= d.play_from && s.pause_at < d.play_until && d.now >= s.pause_at)
        return CD_PAUSED;
    if (s.spinup_ms < 0 || d.now < d.play_from || d.now >= d.play_until)
        return CD_STOPPED;
    return CD_PLAYING;
}

std::string handle(const SDL_CD *cd) { return cd == &drive().record ? "cd" : "bad handle"; }

} // namespace

extern "C" {

int SDL_Init(Uint32 flags)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", flags);
    const int result = drive().script.init_result;
    log(std::string("SDL_Init(") + hex + ") = " + std::to_string(result));
    return result;
}

void SDL_Quit(void) { log("SDL_Quit()"); }

void SDL_Delay(Uint32 ms)
{
    log("SDL_Delay(" + std::to_string(ms) + ")");
    drive().now += ms;
}

const char *SDL_CDName(int drive_index)
{
    Drive &d = drive();
    const bool none = drive_index != 0 || !d.script.drive || d.script.null_name;
    log("SDL_CDName(" + std::to_string(drive_index) + ") = " + (none ? "NULL" : d.script.name));
    return none ? nullptr : d.script.name.c_str();
}

SDL_CD *SDL_CDOpen(int drive_index)
{
    Drive &d = drive();
    const bool none = drive_index != 0 || !d.script.drive;
    log("SDL_CDOpen(" + std::to_string(drive_index) + ") = " + (none ? "NULL" : "cd"));
    if (none)
        return nullptr;
    // SDL promises nothing about the table before a status query finds a disc.
    std::memset(&d.record, 0xA5, sizeof d.record);
    d.record.id = 0;
    return &d.record;
}

CDstatus SDL_CDStatus(SDL_CD *cdrom)
{
    Drive &d = drive();
    ++d.queries;
    const CDstatus s = cdrom == &d.record ? status_now(d) : CD_ERROR;
    if (d.script.eject_after == d.queries)
        d.ejected = true;
    log("SDL_CDStatus(" + handle(cdrom) + ") = " + std::to_string(s));
    return s;
}

int SDL_CDPlayTracks(SDL_CD *cdrom, int start_track, int start_frame, int ntracks, int nframes)
{
    Drive &d = drive();
    const std::vector<Uint32> t = table(d);
    const int count = static_cast<int>(t.size());
    int result = d.script.played;
    if (cdrom != &d.record || disc_out(d) || d.script.failing.count(start_track) || start_track < 0 ||
        start_track >= count || ntracks < 0 || start_track + ntracks > count) {
        result = -1;
    } else {
        // Both counts zero: from the start track to the end of the disc.
        const int end = ntracks == 0 && nframes == 0 ? count : start_track + ntracks;
        long span = ms(static_cast<Uint32>(nframes)) - ms(static_cast<Uint32>(start_frame));
        for (int i = start_track; i < end; ++i)
            span += ms(t[static_cast<size_t>(i)]);
        d.playing = true;
        d.play_from = d.now + (d.script.spinup_ms > 0 ? d.script.spinup_ms : 0);
        d.play_until = d.play_from + span;
    }
    log("SDL_CDPlayTracks(" + handle(cdrom) + "," + std::to_string(start_track) + "," + std::to_string(start_frame) +
        "," + std::to_string(ntracks) + "," + std::to_string(nframes) + ") = " + std::to_string(result));
    return result;
}

} // extern "C"
