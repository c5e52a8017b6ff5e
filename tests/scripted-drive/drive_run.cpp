#include "drive_run.h"

#include <fstream>
#include <sstream>

DriveRun run_on_drive(Spawn spawn, const std::string &script)
{
    const TempDir dir;
    std::ofstream(dir / "script") << script;
    spawn.env["TBX_DRIVE_SCRIPT"] = dir / "script";
    spawn.env["TBX_DRIVE_LOG"] = dir / "log";

    DriveRun r;
    r.exit = run_process(spawn);
    std::istringstream lines(read_file(dir / "log"));
    for (std::string line; std::getline(lines, line);) {
        DriveCall c{};
        std::istringstream words(line);
        words >> c.t >> c.out >> std::ws;
        std::getline(words, c.what);
        r.calls.push_back(c);
    }
    return r;
}
