// A scripted CD-ROM drive standing in for libSDL in the test build.
//
// It defines, against SDL's own declarations, the few SDL calls the player
// makes. Time is virtual: SDL_Delay advances a clock and never sleeps. The
// drive follows a script and logs every call as drive_script.h and
// drive_run.h say; the byte count is standard output's file offset, so it
// counts only what the program has flushed. With TBX_DRIVE_CLOCK set, each
// line also ends with " @<ns>", the real CLOCK_MONOTONIC time of the call,
// for the benchmark. A call with a handle SDL_CDOpen did not give is told
// on standard error.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SDL.h"
#include "drive_script.h"

namespace {

const char *const kName = "/dev/scripted";

struct Drive {
    DriveScript script;
    long eject_calls_seen = 0; // of the call the disc leaves after
    int queries = 0;
    int log_fd = -1;
    bool clock = false;
    long now = 0;
    bool ejected = false;
    bool playing = false; // a play command is in force
    long play_from = 0;   // when it starts sounding, after the spin-up
    long play_until = 0;
    SDL_CD record{};
};

DriveScript load(const char *path)
{
    std::ifstream in(path != nullptr ? path : "");
    std::ostringstream text;
    text << in.rdbuf();
    DriveScript s;
    const std::string wrong = parse_script(text.str(), DriveKind::Scripted, s);
    if (!wrong.empty()) {
        std::fprintf(stderr, "scripted drive: %s\n", wrong.c_str());
        std::abort();
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

// Logs a call; a disc that leaves after it leaves now.
void log(const std::string &name, const std::string &arguments, const std::string &result = "")
{
    Drive &d = drive();
    std::string line = std::to_string(d.now) + " " + std::to_string(lseek(STDOUT_FILENO, 0, SEEK_CUR)) + " " + name +
                       "(" + arguments + ")" + (result.empty() ? "" : " = " + result);
    if (d.clock) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        line += " @" + std::to_string(ts.tv_sec * 1000000000LL + ts.tv_nsec);
    }
    line += "\n";
    if (d.log_fd >= 0 && write(d.log_fd, line.data(), line.size()) < 0)
        std::abort();
    if (name == d.script.eject_after_call && ++d.eject_calls_seen == d.script.eject_after_count)
        d.ejected = true;
}

long ms(Uint32 frames) { return static_cast<long>(frames) * 1000 / CD_FPS; }

bool disc_out(const Drive &d)
{
    return d.script.tray_empty || d.ejected || (d.script.eject_at >= 0 && d.now >= d.script.eject_at);
}

// The table as the disc holds it now.
std::vector<Uint32> table(const Drive &d)
{
    std::vector<Uint32> t(d.script.frames.begin(), d.script.frames.end());
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
    const DriveScript &s = d.script;
    if (s.pause_at >= d.play_from && s.pause_at < d.play_until && d.now >= s.pause_at)
        return CD_PAUSED;
    if (s.spinup_ms < 0 || d.now < d.play_from || d.now >= d.play_until)
        return CD_STOPPED;
    return CD_PLAYING;
}

// A handle SDL_CDOpen did not give is the program's mistake.
bool ours(const SDL_CD *cd, const char *call)
{
    if (cd == &drive().record)
        return true;
    std::fprintf(stderr, "scripted drive: %s on a handle SDL_CDOpen did not give\n", call);
    return false;
}

} // namespace

extern "C" {

int SDL_Init(Uint32 flags)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", flags);
    const int result = drive().script.init_fails ? -1 : 0;
    log("SDL_Init", hex, std::to_string(result));
    return result;
}

void SDL_Quit(void) { log("SDL_Quit", ""); }

void SDL_Delay(Uint32 ms)
{
    log("SDL_Delay", std::to_string(ms));
    drive().now += ms;
}

const char *SDL_CDName(int drive_index)
{
    Drive &d = drive();
    const bool none = drive_index != 0 || d.script.no_drive || d.script.no_name;
    log("SDL_CDName", std::to_string(drive_index), none ? "NULL" : kName);
    return none ? nullptr : kName;
}

SDL_CD *SDL_CDOpen(int drive_index)
{
    Drive &d = drive();
    const bool none = drive_index != 0 || d.script.no_drive;
    log("SDL_CDOpen", std::to_string(drive_index), none ? "NULL" : "cd");
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
    const CDstatus s = ours(cdrom, "SDL_CDStatus") ? status_now(d) : CD_ERROR;
    log("SDL_CDStatus", "", std::to_string(s));
    return s;
}

int SDL_CDPlayTracks(SDL_CD *cdrom, int start_track, int start_frame, int ntracks, int nframes)
{
    Drive &d = drive();
    const std::vector<Uint32> t = table(d);
    const int count = static_cast<int>(t.size());
    int result = static_cast<int>(d.script.played);
    if (!ours(cdrom, "SDL_CDPlayTracks") || disc_out(d) || d.script.failing.count(start_track) || start_track < 0 ||
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
    log("SDL_CDPlayTracks",
        std::to_string(start_track) + "," + std::to_string(start_frame) + "," + std::to_string(ntracks) + "," +
            std::to_string(nframes),
        std::to_string(result));
    return result;
}

} // extern "C"
