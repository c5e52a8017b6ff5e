#include "drive_run.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

std::vector<Call> read_log(const std::string &path)
{
    std::vector<Call> calls;
    std::istringstream lines(read_file(path));
    for (std::string line; std::getline(lines, line);) {
        Call c;
        std::istringstream words(line);
        std::string call;
        words >> c.ms >> c.flushed >> std::ws;
        std::getline(words, call);
        const size_t open = call.find('('), close = call.find(')', open);
        c.name = call.substr(0, open);
        c.arguments = call.substr(open + 1, close - open - 1);
        const size_t equals = call.find(" = ", close);
        if (equals != std::string::npos)
            c.result = call.substr(equals + 3);
        calls.push_back(c);
    }
    return calls;
}

std::vector<Call> DriveRun::named(const std::string &name) const
{
    std::vector<Call> found;
    for (const Call &c : calls)
        if (c.name == name)
            found.push_back(c);
    return found;
}

std::vector<std::string> DriveRun::plays() const
{
    std::vector<std::string> found;
    for (const Call &c : calls)
        if (c.name == "SDL_CDPlayTracks" || c.name == "CDROMPLAYMSF")
            found.push_back(c.arguments);
    return found;
}

std::vector<std::string> DriveRun::timed() const
{
    std::vector<std::string> found;
    for (const Call &c : calls)
        found.push_back(c.timed());
    return found;
}

bool DriveRun::read_audio() const
{
    for (const Call &c : named("CDROM_SEND_PACKET"))
        if (c.arguments.rfind("READ_CD", 0) == 0)
            return true;
    return false;
}

Env disk_audio(const TempDir &dir, bool real_time)
{
    Env env = {{"SDL_AUDIODRIVER", "disk"}, {"SDL_DISKAUDIOFILE", dir / "capture"}};
    // SDL2's disk driver goes by the first; under sdl2-compat (Debian
    // testing), SDL3's goes by the second, a factor on real time. Either way
    // a track is over before tbx first asks, 100 ms after it started it.
    if (!real_time) {
        env["SDL_DISKAUDIODELAY"] = "1";
        env["SDL_AUDIO_DISK_TIMESCALE"] = "0.01";
    }
    return env;
}

Env reading_a_disc(const std::string &ioctl_drive, const std::string &tbx, const TempDir &dir, bool real_time)
{
    Env env = disk_audio(dir, real_time);
    env.insert({{"TBX", tbx}, {"LD_PRELOAD", ioctl_drive}, {"SDL_CDROM", kDiscDrive}, {"XDG_CACHE_HOME", dir / "cache"}});
    return env;
}

DriveRun run_on_drive(Spawn spawn, const std::string &script)
{
    const TempDir dir;
    std::ofstream(dir / "script") << script;
    // Where the drive, in the program, writes its log.
    if (spawn.user && chown(dir.path().c_str(), spawn.user->uid, spawn.user->uid) != 0)
        return {};
    spawn.env["TBX_DRIVE_SCRIPT"] = dir / "script";
    spawn.env["TBX_DRIVE_LOG"] = dir / "log";
    DriveRun r;
    static_cast<Exit &>(r) = run_process(spawn);
    r.calls = read_log(dir / "log");
    return r;
}
