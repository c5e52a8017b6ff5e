// The Windows package as users get it, run under wine: the ZIP that
// scripts/windows made, unpacked into a folder of its own for every run, on
// a copy of one warm wine prefix. On the emulated drive as drive D:, wine's
// MCI CD audio sends the drive's Linux ioctls, and the drive's log tells what
// tbx commanded. Headless: no display, no sound.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_run.h"
#include "output.h"
#include "test_names.h"

namespace fs = std::filesystem;

namespace {

// wine quiet, its sound drivers and its .NET and HTML installers left out.
const Env kWineEnv = {{"WINEDEBUG", "-all"}, {"WINEDLLOVERRIDES", "winealsa.drv,winepulse.drv,mscoree,mshtml=d"}};

// Runs a wine program on a prefix with a server of its own, which ends with
// the program and the services it started rather than seconds later; a
// server that has not ended by then is stopped.
Exit wine(const std::string &prefix, const std::vector<std::string> &args, const Env &env = {})
{
    Spawn base;
    base.env = env;
    base.env.insert(kWineEnv.begin(), kWineEnv.end());
    base.env["WINEPREFIX"] = prefix;
    base.timeout_s = 20;
    const auto server = [&](const char *option) {
        Spawn s = base;
        s.argv = {WINESERVER, option};
        run_process(s);
    };

    server("--persistent=0");
    Spawn program = base;
    program.argv = {WINE};
    program.argv.insert(program.argv.end(), args.begin(), args.end());
    program.timeout_s = 50;
    const Exit e = run_process(program);
    server("--wait");
    server("--kill");
    return e;
}

// The warm prefix, with drive D: declared a CD-ROM drive; it exists as a
// drive only where a test points dosdevices/d: and d:: somewhere.
int make_prefix()
{
    std::error_code ignored;
    fs::remove_all(WARM_PREFIX, ignored);
    if (wine(WARM_PREFIX, {"wineboot", "--init"}).status != 0)
        return 1;
    return wine(WARM_PREFIX, {"reg", "add", R"(HKLM\Software\Wine\Drives)", "/v", "d:", "/d", "cdrom", "/f"}).status;
}

// The warm prefix's files are shared through hard links, all but the
// registry's, which wineserver writes back at the end.
void copy_prefix(const std::string &to)
{
    Spawn cp;
    cp.argv = {"/bin/cp", "-al", WARM_PREFIX, to};
    ASSERT_EQ(run_process(cp).status, 0);
    for (const auto &entry : fs::directory_iterator(to)) {
        if (entry.path().extension() == ".reg") {
            fs::remove(entry.path());
            fs::copy_file(fs::path(WARM_PREFIX) / entry.path().filename(), entry.path());
        }
    }
}

// The one ZIP scripts/windows made, unpacked into folder.
void unpack(const std::string &folder)
{
    std::vector<fs::path> zips;
    for (const auto &entry : fs::directory_iterator(fs::path(WINDOWS_BUILD) / "package"))
        if (entry.path().extension() == ".zip")
            zips.push_back(entry.path());
    ASSERT_EQ(zips.size(), 1u) << "expected one ZIP in " WINDOWS_BUILD "/package";
    fs::create_directories(folder);
    Spawn tar;
    tar.argv = {CMAKE, "-E", "chdir", folder, CMAKE, "-E", "tar", "xf", zips.front().string()};
    ASSERT_EQ(run_process(tar).status, 0);
}

// Lines as SDL's redirection writes them on Windows.
std::string crlf(std::string text)
{
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
        text.insert(at, 1, '\r');
    return text;
}

// What wine wrote beside tbx.exe, as well as the run.
struct WineRun {
    DriveRun run;          // out: what reached wine's own standard output
    std::string stdout_txt; // beside tbx.exe
    bool stderr_left = true;
};

// tbx.exe run in a folder of its own; on the emulated drive as D: when a
// script is given. The drive sits behind an empty stand-in file, recognised
// by its identity in whichever process wine hands it to.
void run(const char *script, WineRun &r)
{
    // Beside the warm prefix, where hard links to it can be made.
    const TempDir dir(fs::path(WARM_PREFIX).parent_path());
    const std::string prefix = dir / "prefix";
    ASSERT_NO_FATAL_FAILURE(unpack(dir / "tbx"));
    ASSERT_NO_FATAL_FAILURE(copy_prefix(prefix));
    Env env;
    if (script != nullptr) {
        std::ofstream(dir / "script") << script;
        std::ofstream(dir / "cd").close();
        fs::create_directory(dir / "d");
        fs::create_symlink(dir / "cd", prefix + "/dosdevices/d::");
        fs::create_directory_symlink(dir / "d", prefix + "/dosdevices/d:");
        env = {{"LD_PRELOAD", IOCTL_DRIVE},
               {"SDL_CDROM", dir / "cd"},
               {"TBX_DRIVE_SCRIPT", dir / "script"},
               {"TBX_DRIVE_LOG", dir / "log"}};
    }
    static_cast<Exit &>(r.run) = wine(prefix, {dir / "tbx/tbx.exe"}, env);
    r.run.calls = read_log(dir / "log");
    r.stdout_txt = read_file(dir / "tbx/stdout.txt");
    r.stderr_left = fs::exists(dir / "tbx/stderr.txt");
}

std::string header(int tracks) { return output::header(tracks, "D:\\"); }
using output::track;

struct Scenario {
    const char *name;
    const char *script; // none: no drive at all
    std::string out;    // with LF endings; expected with CRLF
    int status;
    std::vector<std::string> plays; // 10 frames short of the track's end, as on Linux
};

// wine says the last track is one frame shorter than the table does, so a
// last track of exactly 3 s is 0:2 and its play ends 11 frames early.
const Scenario kScenarios[] = {
    {"no_drive", nullptr, output::kNoDrive, 255, {}},
    {"three_tracks", "tracks 100 160 225\n", header(3) + track(0, "0:1") + track(1, "0:2") + track(2, "0:2"), 0,
     {"0:2:0,0:3:15", "0:3:25,0:5:25", "0:5:35,0:8:24"}},
    {"empty_tray", "tray empty\n", output::kNoDisc, 255, {}},
    // SDL announces the data track, then refuses it without a word to the drive.
    {"last_track_data", "tracks 150 150 225\ndata 2\n",
     header(3) + track(0, "0:2") + track(1, "0:2") + track(2, "0:2") + output::kWarning, 0,
     {"0:2:0,0:3:65", "0:4:0,0:5:65"}},
};

class Wine : public ::testing::TestWithParam<Scenario> {};

TEST_P(Wine, StdoutTxtStatusAndPlays)
{
    const Scenario &s = GetParam();
    WineRun r;
    ASSERT_NO_FATAL_FAILURE(run(s.script, r));
    EXPECT_EQ(r.stdout_txt, crlf(s.out));
    EXPECT_FALSE(r.stderr_left) << "SDL leaves stderr.txt only when something was written to it";
    EXPECT_EQ(r.run.out, "") << "the output went around SDL's redirection";
    EXPECT_EQ(r.run.status, s.status);
    EXPECT_EQ(r.run.plays(), s.plays);
}

INSTANTIATE_TEST_SUITE_P(Tbx, Wine, ::testing::ValuesIn(kScenarios), ByName());

// What the ZIP holds, and what tbx.exe needs of Windows: a windowed program
// that finds every DLL it imports on a bare Windows beside SDL.dll.
TEST(Package, FilesSubsystemAndImports)
{
    const TempDir dir;
    ASSERT_NO_FATAL_FAILURE(unpack(dir / "tbx"));
    std::set<std::string> files;
    for (const auto &entry : fs::directory_iterator(dir / "tbx"))
        files.insert(entry.path().filename().string());
    EXPECT_EQ(files, (std::set<std::string>{"LICENSE.txt", "README.txt", "SDL-LICENSE.txt", "SDL.dll", "tbx.exe"}));
    // Texts for Notepad: every line ends in CRLF.
    for (const char *text : {"README.txt", "LICENSE.txt"}) {
        std::string rest = read_file(dir / ("tbx/" + std::string(text)));
        EXPECT_GT(std::count(rest.begin(), rest.end(), '\n'), 10) << text;
        for (size_t at; (at = rest.find("\r\n")) != std::string::npos;)
            rest.erase(at, 2);
        EXPECT_EQ(rest.find_first_of("\r\n"), std::string::npos) << text << " has a line not ended by CRLF";
    }

    Spawn objdump;
    objdump.argv = {OBJDUMP, "-p", dir / "tbx/tbx.exe"};
    const Exit e = run_process(objdump);
    ASSERT_EQ(e.status, 0) << e.err;
    std::string subsystem;
    std::set<std::string> imports;
    std::istringstream lines(e.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Subsystem", 0) == 0)
            subsystem = line;
        const size_t name = line.find("DLL Name: ");
        if (name != std::string::npos)
            imports.insert(line.substr(name + 10));
    }
    EXPECT_NE(subsystem.find("(Windows GUI)"), std::string::npos) << subsystem;
    EXPECT_EQ(imports, (std::set<std::string>{"KERNEL32.dll", "msvcrt.dll", "SDL.dll"}));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::string(argv[1]) == "--make-prefix")
        return make_prefix();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
