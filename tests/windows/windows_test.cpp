// The Windows package as users get it, run under wine: the ZIP that
// scripts/windows made, unpacked into a folder of its own for every run, on
// a copy of one warm wine prefix. On the emulated drive as drive D:, wine's
// MCI CD audio sends the drive's Linux ioctls, and the drive's log tells what
// tbx commanded. Headless: no display, no sound.
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "output.h"
#include "process.h"

namespace fs = std::filesystem;

namespace {

// wine quiet, its sound drivers and its .NET and HTML installers left out.
const std::map<std::string, std::string> kWineEnv = {
    {"WINEDEBUG", "-all"}, {"WINEDLLOVERRIDES", "winealsa.drv,winepulse.drv,mscoree,mshtml=d"}};

// Runs a wine program on a prefix with a server of its own, which ends with
// the program and the services it started rather than seconds later; a
// server that has not ended by then is stopped.
Exit wine(const std::string &prefix, const std::vector<std::string> &args,
          const std::map<std::string, std::string> &env = {})
{
    Spawn base;
    base.env = kWineEnv;
    base.env.insert(env.begin(), env.end());
    base.env["WINEPREFIX"] = prefix;
    base.unset = {"DISPLAY", "WAYLAND_DISPLAY", "LD_PRELOAD", "SDL_STDIO_REDIRECT", "SDL_CDROM", "TBX_CDROM_LAYOUT"};
    base.timeout_s = 20;

    Spawn server = base;
    server.argv = {WINESERVER, "--persistent=0"};
    run_process(server);

    Spawn program = base;
    program.argv = {WINE};
    program.argv.insert(program.argv.end(), args.begin(), args.end());
    program.timeout_s = 50;
    const Exit e = run_process(program);

    Spawn wait = base;
    wait.argv = {WINESERVER, "--wait"};
    run_process(wait);
    Spawn stop = base;
    stop.argv = {WINESERVER, "--kill"};
    run_process(stop);
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
std::string crlf(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

struct Outcome {
    std::string out; // stdout.txt beside tbx.exe
    bool stderr_left = true;
    std::string unix_out; // what reached wine's own standard output
    int status = -1;
    std::vector<std::string> plays; // the ranges of the play commands, "from to" in MSF
};

// tbx.exe run in a folder of its own; on the emulated drive as D: when a
// layout is given. The drive sits behind an empty stand-in file, recognised
// by its identity in whichever process wine hands it to.
void run(const char *layout, Outcome &r)
{
    // Beside the warm prefix, where hard links to it can be made.
    const TempDir dir(fs::path(WARM_PREFIX).parent_path());
    const std::string prefix = dir / "prefix";
    ASSERT_NO_FATAL_FAILURE(unpack(dir / "tbx"));
    ASSERT_NO_FATAL_FAILURE(copy_prefix(prefix));
    std::map<std::string, std::string> env;
    if (layout != nullptr) {
        std::ofstream(dir / "layout") << layout;
        std::ofstream(dir / "cd").close();
        fs::create_directory(dir / "d");
        fs::create_symlink(dir / "cd", prefix + "/dosdevices/d::");
        fs::create_directory_symlink(dir / "d", prefix + "/dosdevices/d:");
        env = {{"LD_PRELOAD", IOCTL_DRIVE},
               {"SDL_CDROM", dir / "cd"},
               {"TBX_CDROM_LAYOUT", dir / "layout"},
               {"TBX_CDROM_LOG", dir / "log"}};
    }
    const Exit e = wine(prefix, {dir / "tbx/tbx.exe"}, env);
    r.out = read_file(dir / "tbx/stdout.txt");
    r.stderr_left = fs::exists(dir / "tbx/stderr.txt");
    r.unix_out = e.out;
    r.status = e.status;
    std::istringstream lines(read_file(dir / "log"));
    const std::string play = " CDROMPLAYMSF ";
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(play);
        if (at != std::string::npos)
            r.plays.push_back(line.substr(at + play.size(), line.rfind(" = ") - at - play.size()));
    }
}

std::string header(int tracks) { return output::header(tracks, "D:\\"); }
using output::track;

struct Scenario {
    const char *name;
    const char *layout; // none: no drive at all
    std::string out;    // with LF endings; expected with CRLF
    int status;
    std::vector<std::string> plays; // 10 frames short of the track's end, as on Linux
};

// wine says the last track is one frame shorter than the table does, so a
// last track of exactly 3 s is 0:2 and its play ends 11 frames early.
const Scenario kScenarios[] = {
    {"no_drive", nullptr, output::kNoDrive, 255, {}},
    {"three_tracks", "tracks 100 160 225\n", header(3) + track(0, "0:1") + track(1, "0:2") + track(2, "0:2"), 0,
     {"0:2:0 0:3:15", "0:3:25 0:5:25", "0:5:35 0:8:24"}},
    {"empty_tray", "empty\n", output::kNoDisc, 255, {}},
    // SDL announces the data track, then refuses it without a word to the drive.
    {"last_track_data", "tracks 150 150 225\ndata 3\n",
     header(3) + track(0, "0:2") + track(1, "0:2") + track(2, "0:2") + output::kWarning, 0,
     {"0:2:0 0:3:65", "0:4:0 0:5:65"}},
};

std::ostream &operator<<(std::ostream &os, const Scenario &s) { return os << s.name; }

class Wine : public ::testing::TestWithParam<Scenario> {};

TEST_P(Wine, StdoutTxtStatusAndPlays)
{
    const Scenario &s = GetParam();
    Outcome r;
    ASSERT_NO_FATAL_FAILURE(run(s.layout, r));
    EXPECT_EQ(r.out, crlf(s.out));
    EXPECT_FALSE(r.stderr_left) << "SDL leaves stderr.txt only when something was written to it";
    EXPECT_EQ(r.unix_out, "") << "the output went around SDL's redirection";
    EXPECT_EQ(r.status, s.status);
    EXPECT_EQ(r.plays, s.plays);
}

INSTANTIATE_TEST_SUITE_P(Tbx, Wine, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario> &info) { return std::string(info.param.name); });

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
