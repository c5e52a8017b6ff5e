// tbx-play reading a disc from the emulated drive while tbx plays it
// through a real sound server, in real time, as on a desktop: what the
// server's sink heard, matched sample for sample against each track as
// decoded from the cache. Once the music plays it must never pause, lose
// or repeat a sample; sdl12-compat's own end of a track (the next track's
// first tens of milliseconds, then that track from its start) is named,
// and so is its last buffer of a track (a few of the track's last frames
// again: at the end of the disc, and on 1.2.78 at the end of every track).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_run.h"
#include "matcher.h"
#include "sound_server.h"
#include "test_names.h"

namespace {

namespace fs = std::filesystem;
using matcher::Event;
using sound::Driver;
using sound::Server;

struct Case {
    const char *name;
    Server server;
    Driver driver;
    std::string script;
    int timeout_s;
};

// Three tracks of 20 s read at 4x: 2x once every stretch is read twice.
const std::string kThreeTracks = "tracks 1500 1500 1500\ntones 440 660 990\nspeed 4\n";
// Four minutes read at 2.2x, 1.1x verified: just above the music; after
// the second minute the drive is stuck for 3 s (2:30 into the track).
const std::string kLongTrack = "tracks 18000\ntones 440\nspeed 2.2\nstall 11400 3000\n";

const Case kCases[] = {
    {"three_tracks_on_pulseaudio", Server::PulseAudio, Driver::PulseAudio, kThreeTracks, 150},
    {"three_tracks_on_pipewire_through_pipewire_pulse", Server::PipeWire, Driver::PulseAudio, kThreeTracks, 150},
    {"three_tracks_on_pipewire_through_sdls_pipewire_driver", Server::PipeWire, Driver::PipeWire, kThreeTracks, 150},
    {"four_minutes_just_above_real_time_stalled_on_pipewire", Server::PipeWire, Driver::PipeWire, kLongTrack, 400},
};

matcher::Pcm read_pcm(const std::string &path)
{
    const std::string bytes = read_file(path);
    matcher::Pcm pcm(bytes.size() / 2);
    std::copy_n(bytes.data(), pcm.size() * 2, reinterpret_cast<char *>(pcm.data()));
    return pcm;
}

// The tracks of the disc kept in the cache, as mpg123 decodes them: within
// a step of what sdl12-compat plays, from the track's first sample to its
// last (sdl12-compat may also play the encoder's delay and padding, which
// are no part of it).
std::vector<matcher::Pcm> kept_tracks(const TempDir &dir)
{
    std::vector<std::string> mp3s;
    std::error_code none;
    for (const auto &disc : fs::directory_iterator(dir / "cache/tbx", none))
        if (disc.is_directory())
            for (const auto &file : fs::directory_iterator(disc.path()))
                if (file.path().extension() == ".mp3")
                    mp3s.push_back(file.path());
    std::sort(mp3s.begin(), mp3s.end());
    std::vector<matcher::Pcm> tracks;
    for (const std::string &mp3 : mp3s) {
        Spawn decode;
        decode.argv = {MPG123, "-q", "-s", "-e", "s16", mp3};
        decode.stdout_path = dir / "decoded";
        if (run_process(decode).status != 0)
            return {};
        tracks.push_back(read_pcm(dir / "decoded"));
    }
    return tracks;
}

std::string seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", s);
    return text;
}

double seconds_of(long frames) { return static_cast<double>(frames) / matcher::kRate; }

// A case by its name, in gtest's messages.
void PrintTo(const Case &c, std::ostream *out) { *out << c.name; }

class ThroughASoundServer : public ::testing::TestWithParam<Case> {};

TEST_P(ThroughASoundServer, OnceTheMusicPlaysEveryTrackIsHeardSampleForSample)
{
    const Case &c = GetParam();
    const TempDir dir;
    const sound::Session session(c.server);
    ASSERT_EQ(session.error(), "");
    sound::Session::Recording recording(session, dir / "recording");
    for (int waited = 0; !recording.begun() && waited < 500; ++waited)
        usleep(10000);
    ASSERT_TRUE(recording.begun()) << "the sink's monitor gave nothing\n" << session.logs();

    Spawn spawn;
    spawn.argv = sound::first_served({TBX_PLAY});
    spawn.env = reading_a_disc(IOCTL_DRIVE, TBX, dir, true);
    spawn.env.erase("SDL_DISKAUDIOFILE");
    for (const auto &[name, value] : session.player(c.driver))
        spawn.env[name] = value;
    spawn.timeout_s = c.timeout_s;
    const auto started = std::chrono::steady_clock::now();
    const DriveRun run = run_on_drive(spawn, c.script);
    recording.stop();
    ASSERT_EQ(run.status, 0) << run.err;

    const std::vector<matcher::Pcm> tracks = kept_tracks(dir);
    ASSERT_FALSE(tracks.empty()) << "no track kept to match";
    const std::vector<matcher::Track> heard = matcher::match(read_pcm(dir / "recording"), tracks);
    const double start = recording.at(started);

    // The figures, for the record, then what is wrong.
    std::cout << c.name << ":\n";
    if (heard[0].first >= 0)
        std::cout << "  first sound at the sink " << seconds(seconds_of(heard[0].first) - start)
                  << " after tbx-play started\n";
    for (size_t i = 0; i < heard.size(); ++i) {
        const matcher::Track &t = heard[i];
        const std::string name = "track " + std::to_string(i + 1);
        std::cout << "  " << name << ": " << t.count(Event::Pause) << " pauses, "
                  << seconds(seconds_of(t.total(Event::Pause))) << " in all; " << t.total(Event::Lost)
                  << " frames lost, " << t.total(Event::Twice) << " heard twice, " << t.total(Event::Wrong)
                  << " heard wrong; " << matcher::describe(t) << "\n";
        for (const Event &e : t.events)
            if (e.kind == Event::Pause)
                std::cout << "    pause of " << seconds(seconds_of(e.frames)) << " at " << seconds(seconds_of(e.at))
                          << " into it, " << seconds(seconds_of(e.heard) - start) << " after tbx-play started\n";
        if (t.early > 0)
            std::cout << "    sdl12-compat's end of track: its first " << seconds(seconds_of(t.early))
                      << " heard at the end of track " << i << ", then again from its start\n";
        if (t.again > 0)
            std::cout << "    sdl12-compat's last buffer of it: " << t.again
                      << " frames of its end heard again after it, as that buffer held them before\n";
    }
    for (size_t i = 0; i < heard.size(); ++i) {
        const std::string name = "track " + std::to_string(i + 1);
        if (heard[i].first < 0) {
            ADD_FAILURE() << name << " was never heard";
            continue;
        }
        EXPECT_EQ(heard[i].count(Event::Pause), 0) << name << " paused once it played";
        EXPECT_TRUE(heard[i].events.empty()) << name << " was not heard sample for sample: " << matcher::describe(heard[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(TbxPlay, ThroughASoundServer, ::testing::ValuesIn(kCases), ByName());

// The processes whose runtime folder is folder: a session's.
std::vector<std::string> running_in(const std::string &folder)
{
    const std::string mark = "XDG_RUNTIME_DIR=" + folder + '\0';
    std::vector<std::string> found;
    for (const auto &p : fs::directory_iterator("/proc")) {
        const std::string env = read_file(p.path() / "environ");
        if (env.rfind(mark, 0) == 0 || env.find('\0' + mark) != std::string::npos)
            found.push_back(read_file(p.path() / "comm"));
    }
    return found;
}

// Gone within two seconds.
bool gone(const std::string &folder)
{
    for (int waited = 0; !running_in(folder).empty() && waited < 200; ++waited)
        usleep(10000);
    return running_in(folder).empty();
}

struct Kind {
    const char *name;
    Server server;
};

const Kind kKinds[] = {{"pulseaudio", Server::PulseAudio}, {"pipewire", Server::PipeWire}};

class Servers : public ::testing::TestWithParam<Kind> {};

// When the session is done, and when the test's process is killed
// outright, as by ctest's timeout: nothing of it goes on running.
TEST_P(Servers, AreGoneWhenDoneAndWhenTheTestIsKilled)
{
    std::string folder;
    {
        const sound::Session session(GetParam().server);
        ASSERT_EQ(session.error(), "");
        folder = session.folder();
        EXPECT_FALSE(running_in(folder).empty()) << "found none of the servers running";
    }
    EXPECT_EQ(running_in(folder), std::vector<std::string>{});

    int said[2];
    ASSERT_EQ(pipe2(said, O_CLOEXEC), 0);
    const pid_t test = fork();
    if (test == 0) {
        close(said[0]);
        const sound::Session session(GetParam().server);
        const std::string where = session.error().empty() ? session.folder() : "";
        if (write(said[1], where.data(), where.size()) < 0)
            _exit(1);
        close(said[1]);
        pause();
        _exit(0);
    }
    close(said[1]);
    char buffer[4096];
    folder.clear();
    for (ssize_t n; (n = read(said[0], buffer, sizeof buffer)) > 0;)
        folder.append(buffer, static_cast<size_t>(n));
    close(said[0]);
    const bool ran = !folder.empty() && !running_in(folder).empty();
    kill(test, SIGKILL);
    waitpid(test, nullptr, 0);
    ASSERT_TRUE(ran) << "the servers did not start";
    EXPECT_TRUE(gone(folder)) << "still running: " << running_in(folder).size() << " processes";
    fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(SoundServers, Servers, ::testing::ValuesIn(kKinds), ByName());

} // namespace
