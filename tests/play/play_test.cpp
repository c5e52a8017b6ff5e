// scripts/play as shipped, with a disc in the emulated drive: it reads the
// disc digitally into the cache, then the shipped tbx plays it on
// sdl12-compat, recorded by SDL's disk audio driver faster than real time.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_run.h"
#include "output.h"
#include "test_names.h"
#include "tones.h"

namespace {

namespace fs = std::filesystem;

const std::string kDevice = "/dev/tbx-cd";

// One run of the launcher on the drive the script describes, with the cache
// under dir; tbx's sound goes to dir/capture.
DriveRun play(const TempDir &dir, const std::string &script, const std::vector<std::string> &args = {"--digital"})
{
    fs::remove(dir / "capture");
    Spawn spawn;
    spawn.argv = {PLAY};
    spawn.argv.insert(spawn.argv.end(), args.begin(), args.end());
    spawn.env = {{"TBX", TBX},
                 {"LD_PRELOAD", IOCTL_DRIVE},
                 {"SDL_CDROM", kDevice},
                 {"XDG_CACHE_HOME", dir / "cache"},
                 {"SDL_AUDIODRIVER", "disk"},
                 {"SDL_DISKAUDIOFILE", dir / "capture"},
                 {"SDL_DISKAUDIODELAY", "1"},
                 {"LD_LIBRARY_PATH", std::nullopt},
                 {"SDL12COMPAT_FAKE_CDROM_PATH", std::nullopt}};
    return run_on_drive(spawn, script);
}

bool read_from_drive(const DriveRun &r)
{
    const std::vector<Call> packets = r.named("CDROM_SEND_PACKET");
    return std::any_of(packets.begin(), packets.end(), [](const Call &c) { return c.arguments.rfind("READ_CD", 0) == 0; });
}

// The folders in the cache, and the files in each.
std::vector<std::string> cached(const TempDir &dir)
{
    std::vector<std::string> found;
    if (!fs::exists(dir / "cache/tbx"))
        return found;
    for (const auto &disc : fs::directory_iterator(dir / "cache/tbx")) {
        found.push_back(disc.path().filename().string() + "/");
        if (disc.is_directory())
            for (const auto &file : fs::directory_iterator(disc.path()))
                found.push_back(disc.path().filename().string() + "/" + file.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Stereo samples in an mp3 as lame decodes it.
long decoded_samples(const std::string &mp3, const TempDir &dir)
{
    Spawn spawn;
    spawn.argv = {LAME, "--quiet", "--decode", mp3, dir / "decoded.wav"};
    if (run_process(spawn).status != 0)
        return -1;
    const std::string wav = read_file(dir / "decoded.wav");
    const size_t data = wav.find("data");
    if (data == std::string::npos || data + 8 > wav.size())
        return -1;
    std::uint32_t bytes;
    std::memcpy(&bytes, wav.data() + data + 4, sizeof bytes);
    return static_cast<long>(bytes / 4);
}

struct Disc {
    const char *name;
    const char *script;
    std::vector<std::string> files; // in the disc's cache folder
    int tracks;                     // as tbx counts them
    std::string plays;              // tbx's lines after the header
    std::vector<double> hz;         // the audio tracks' tones, in order
    std::vector<int> frames;        // and their lengths
};

using output::kWarning;
using output::track;

const Disc kDiscs[] = {
    {"three_audio_tracks", "tracks 375 375 300\ntones 440 660 990\n",
     {"toc", "track01.mp3", "track02.mp3", "track03.mp3"}, 3,
     track(0, "0:5") + track(1, "0:5") + track(2, "0:4"), {440, 660, 990}, {375, 375, 300}},
    // Mixed mode: the audio after the data track keeps its number.
    {"data_track_first", "tracks 300 375 300\ndata 0\ntones 440 660\n",
     {"toc", "track01.dat", "track02.mp3", "track03.mp3"}, 3,
     track(0, "0:0") + kWarning + track(1, "0:5") + track(2, "0:4"), {440, 660}, {375, 300}},
    // Enhanced CD: the data track after the audio is left out, or
    // sdl12-compat would refuse to play the last audio track to its end.
    {"data_track_last", "tracks 375 300 600\ndata 2\ntones 440 660\n", {"toc", "track01.mp3", "track02.mp3"}, 2,
     track(0, "0:5") + track(1, "0:4"), {440, 660}, {375, 300}},
};

// Each tone for nearly its track's whole length, in order.
void expect_heard(const std::string &capture, const Disc &d)
{
    const std::vector<tones::Run> runs = tones::tone_runs(tones::read_capture(capture), d.hz);
    SCOPED_TRACE("heard: " + tones::describe(runs, d.hz));
    double last_end = 0;
    for (size_t i = 0; i < d.hz.size(); ++i) {
        const tones::Run *r = tones::longest(runs, static_cast<int>(i));
        ASSERT_NE(r, nullptr) << "tone " << i << " was never heard";
        const double seconds = d.frames[i] / 75.0;
        EXPECT_GE(r->end - r->start, 0.9 * seconds) << "tone " << i;
        EXPECT_LE(r->end - r->start, seconds + 0.2) << "tone " << i;
        EXPECT_GE(r->start, last_end) << "tone " << i << " came too early";
        last_end = r->end;
    }
}

class Reads : public ::testing::TestWithParam<Disc> {};

TEST_P(Reads, ThenPlaysFromTheCacheWithoutReadingAgain)
{
    const Disc &d = GetParam();
    const TempDir dir;

    const DriveRun first = play(dir, d.script);
    const std::vector<std::string> files = cached(dir);
    ASSERT_EQ(files.size(), d.files.size() + 1) << "one folder in the cache, whole";
    const std::string key = files.front();
    const std::string folder = dir / "cache/tbx/" + key.substr(0, key.size() - 1);
    std::vector<std::string> expected = {key};
    for (const std::string &f : d.files)
        expected.push_back(key + f);
    EXPECT_EQ(files, expected);

    const std::string played = output::header(d.tracks, folder) + d.plays;
    EXPECT_EQ(first.out, output::launcher::reading(kDevice, folder) + output::launcher::kRead + played);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(read_from_drive(first));
    expect_heard(dir / "capture", d);

    // Sample-exact lengths: what the table says, not a frame more or less.
    size_t audio = 0;
    for (const std::string &f : d.files)
        if (f.find(".mp3") != std::string::npos) {
            EXPECT_EQ(decoded_samples(folder + "/" + f, dir), d.frames[audio] * 588L) << f;
            ++audio;
        }

    const DriveRun again = play(dir, d.script);
    EXPECT_EQ(again.out, output::launcher::read_before(kDevice, folder) + played);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_FALSE(read_from_drive(again));
    expect_heard(dir / "capture", d);
}

INSTANTIATE_TEST_SUITE_P(Play, Reads, ::testing::ValuesIn(kDiscs), ByName());

struct Interruption {
    const char *name;
    const char *fault; // added to the script
    int track;         // the one play reports, numbered as on the disc
};

const Interruption kInterruptions[] = {
    {"unreadable_frame", "unreadable 700\n", 2},
    {"disc_ejected", "eject after CDROM_SEND_PACKET 30\n", 1},
};

class Interrupted : public ::testing::TestWithParam<Interruption> {};

TEST_P(Interrupted, KeepsNothingAndTheNextRunReadsAgain)
{
    const Interruption &i = GetParam();
    const TempDir dir;
    const std::string script = "tracks 375 375 375\ntones 440 660 990\n";

    const DriveRun failed = play(dir, script + i.fault);
    EXPECT_NE(failed.err.find(output::launcher::unreadable(i.track)), std::string::npos) << failed.err;
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out.find("Tonbox"), std::string::npos) << "tbx ran";
    EXPECT_EQ(cached(dir), std::vector<std::string>{});

    const DriveRun next = play(dir, script);
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_TRUE(read_from_drive(next));
    EXPECT_EQ(cached(dir).size(), 5U);
}

INSTANTIATE_TEST_SUITE_P(Play, Interrupted, ::testing::ValuesIn(kInterruptions), ByName());

TEST(Play, WithoutADiscTbxSaysSo)
{
    const TempDir dir;
    const DriveRun r = play(dir, "tray empty\n");
    EXPECT_EQ(r.out, output::kNoDisc);
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(read_from_drive(r));
}

TEST(Play, UnknownOptionGivesUsage)
{
    const TempDir dir;
    const DriveRun r = play(dir, "tracks 375\n", {"--digital", "--loud"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("usage: ", 0), 0U) << r.err;
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.calls.empty());
}

} // namespace
