// tbx-play as shipped, with a disc in the emulated drive: it reads the disc
// while the shipped tbx plays it on sdl12-compat, recorded by SDL's disk
// audio driver, keeps it for the next run, and, whatever goes wrong, says
// so, keeps nothing half-read and leaves nothing running.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "drive_run.h"
#include "output.h"
#include "test_names.h"
#include "tones.h"

namespace {

namespace fs = std::filesystem;
namespace said = output::companion;
using output::kWarning;
using output::track;

const std::string &kDevice = kDiscDrive;

// SDL's disk audio as fast as it will go, or in real time as a sound card plays.
enum class Clock { Fast, Real };

// One run of tbx-play on the drive the script describes, with the cache under
// dir; what tbx plays goes to dir/capture.
DriveRun tbx_play(const TempDir &dir, const std::string &script, Clock clock,
                  const std::function<void(Spawn &)> &adjust = nullptr)
{
    fs::remove(dir / "capture");
    Spawn spawn;
    spawn.argv = {TBX_PLAY};
    spawn.env = reading_a_disc(IOCTL_DRIVE, TBX, dir, clock == Clock::Real);
    if (adjust)
        adjust(spawn);
    return run_on_drive(spawn, script);
}

// The cache's folders and the files in each, its lock files left out.
std::vector<std::string> cached(const TempDir &dir)
{
    std::vector<std::string> found;
    std::error_code none;
    for (const auto &disc : fs::directory_iterator(dir / "cache/tbx", none)) {
        if (disc.path().extension() == ".lock")
            continue;
        found.push_back(disc.path().filename().string() + "/");
        if (disc.is_directory())
            for (const auto &file : fs::directory_iterator(disc.path()))
                found.push_back(disc.path().filename().string() + "/" + file.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The folder a disc is kept in, from the first entry of cached().
std::string folder_of(const TempDir &dir, const std::vector<std::string> &cached)
{
    return cached.empty() ? "" : dir / "cache/tbx/" + cached.front().substr(0, cached.front().size() - 1);
}

bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What tbx-play said itself: without the warning SDL's disk audio driver gives.
std::string ours(const std::string &err)
{
    std::string kept;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("CRITICAL: ", 0) != 0)
            kept += line + "\n";
    return kept;
}

// Processes that the run started and that are still there: any with its
// cache in their environment.
std::vector<std::string> left_running(const TempDir &dir)
{
    const std::string mark = "XDG_CACHE_HOME=" + dir / "cache";
    std::vector<std::string> left;
    for (const auto &p : fs::directory_iterator("/proc")) {
        const std::string env = read_file(p.path() / "environ");
        for (size_t at = 0; at < env.size(); at = env.find('\0', at) + 1) {
            if (env.compare(at, mark.size() + 1, mark + '\0') == 0)
                left.push_back(read_file(p.path() / "comm"));
            if (env.find('\0', at) == std::string::npos)
                break;
        }
    }
    return left;
}

// Each tone for nearly its track's whole length, in order; the gaps between them.
std::vector<double> expect_heard(const std::string &capture, const std::vector<double> &hz, const std::vector<int> &frames)
{
    const std::vector<tones::Run> runs = tones::tone_runs(tones::read_capture(capture), hz);
    SCOPED_TRACE("heard: " + tones::describe(runs, hz));
    std::vector<double> gaps;
    double last_end = 0;
    for (size_t i = 0; i < hz.size(); ++i) {
        const tones::Run *r = tones::longest(runs, static_cast<int>(i));
        if (r == nullptr) {
            ADD_FAILURE() << "tone " << i << " was never heard";
            return gaps;
        }
        const double seconds = frames[i] / 75.0;
        EXPECT_GE(r->end - r->start, 0.9 * seconds) << "tone " << i;
        EXPECT_LE(r->end - r->start, seconds + 0.2) << "tone " << i;
        EXPECT_GE(r->start, last_end) << "tone " << i << " came too early";
        if (i > 0)
            gaps.push_back(r->start - last_end);
        last_end = r->end;
    }
    return gaps;
}

struct Disc {
    const char *name;
    const char *script;
    std::vector<std::string> files; // in the disc's folder
    int tracks;                     // as tbx counts them
    std::string plays;              // tbx's lines after the header
    std::string progress;           // the line a track of the read
    std::vector<double> hz;         // the audio tracks' tones, in order
    std::vector<int> frames;        // and their lengths
};

const Disc kDiscs[] = {
    {"three_audio_tracks", "tracks 375 375 300\ntones 440 660 990\n",
     {"toc", "track01.mp3", "track02.mp3", "track03.mp3"}, 3, track(0, "0:5") + track(1, "0:5") + track(2, "0:4"),
     said::reading_track(1, 3) + said::reading_track(2, 3) + said::reading_track(3, 3), {440, 660, 990},
     {375, 375, 300}},
    // Mixed mode: the audio after the data track keeps its number.
    {"data_track_first", "tracks 300 375 300\ndata 0\ntones 440 660\n",
     {"toc", "track01.dat", "track02.mp3", "track03.mp3"}, 3, track(0, "0:0") + kWarning + track(1, "0:5") + track(2, "0:4"),
     said::reading_track(1, 2) + said::reading_track(2, 2), {440, 660}, {375, 300}},
    // Enhanced CD: the data track after the audio is left out, or
    // sdl12-compat would refuse to play the last audio track to its end.
    {"data_track_last", "tracks 375 300 600\ndata 2\ntones 440 660\n", {"toc", "track01.mp3", "track02.mp3"}, 2,
     track(0, "0:5") + track(1, "0:4"), said::reading_track(1, 2) + said::reading_track(2, 2), {440, 660}, {375, 300}},
};

class Reads : public ::testing::TestWithParam<Disc> {};

TEST_P(Reads, ThenPlaysFromTheCacheWithoutReadingAgain)
{
    const Disc &d = GetParam();
    const TempDir dir;

    const DriveRun first = tbx_play(dir, d.script, Clock::Fast);
    const std::vector<std::string> files = cached(dir);
    const std::string folder = folder_of(dir, files);
    std::vector<std::string> expected = {files.empty() ? "" : files.front()};
    for (const std::string &f : d.files)
        expected.push_back(expected.front() + f);
    EXPECT_EQ(files, expected);

    const std::string played = output::header(d.tracks, folder) + d.plays;
    EXPECT_EQ(first.out, played);
    EXPECT_EQ(ours(first.err), said::reading(kDevice, folder) + d.progress + said::kept(folder));
    EXPECT_EQ(first.status, 0);
    EXPECT_TRUE(first.read_audio());
    expect_heard(dir / "capture", d.hz, d.frames);

    const DriveRun again = tbx_play(dir, d.script, Clock::Fast);
    EXPECT_EQ(again.out, played);
    EXPECT_EQ(ours(again.err), said::read_before(kDevice, folder));
    EXPECT_EQ(again.status, 0);
    EXPECT_FALSE(again.read_audio());
    expect_heard(dir / "capture", d.hz, d.frames);
}

INSTANTIATE_TEST_SUITE_P(TbxPlay, Reads, ::testing::ValuesIn(kDiscs), ByName());

// tbx's lines in output where tbx-play's own come between them.
std::string tbx_lines(const std::string &out)
{
    std::string kept;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("Reading ", 0) != 0 && line.rfind("Read the whole disc", 0) != 0 && line.rfind("CRITICAL: ", 0) != 0 &&
            line + "\n" != said::waits_for_the_drive())
            kept += line + "\n";
    return kept;
}

// Tracks that end just short of a whole second, which sdl12-compat from
// 1.2.74 measures to the sample, from the tag that opens each file, and up
// to 1.2.68 by their frames, a little longer: on either, a first run gives
// the lengths the cache gives.
TEST(TbxPlay, AFirstRunGivesTheLengthsTheCacheGives)
{
    const TempDir dir;
    const std::string disc = "tracks 374 449 224 1124\ntones 440 550 660 770\n";
    const DriveRun first = tbx_play(dir, disc, Clock::Fast);
    const DriveRun again = tbx_play(dir, disc, Clock::Fast);
    EXPECT_EQ(first.status, 0);
    EXPECT_TRUE(first.read_audio());
    EXPECT_FALSE(again.read_audio());
    EXPECT_EQ(first.out, again.out);
    // What the check compared, for the record.
    std::cout << again.out.substr(again.out.find("No of Tracks"));
}

struct Pace {
    const char *name;
    const char *script;
    std::vector<int> frames;
    bool first_while_read; // the first track plays while it is read, for certain
    bool waits_inside;     // the music pauses inside a track, and says so
    double least_gap;      // between two tracks, in seconds
};

// Every stretch is read twice, the second time once the drive has read its
// buffer's reach since (here a 512 KB buffer it reports: 275 sectors), so
// audio comes at half the drive's speed. Faster than the music, at 4 times
// real time: the first track plays while it is read, and the next while it
// plays. Slower, the second track at 1.5 times real time, so at three
// quarters of the music's pace: the music waits for the second before it,
// where tbx's polls alone leave at most 3.4 s between tracks, long enough
// to play it through. Stalled for 15 s 25 s into the second track, the
// music waits inside it.
const Pace kPaces[] = {
    {"drive_faster_than_the_music", "tracks 750 225 225\ntones 440 660 990\nspeed 4\n", {750, 225, 225}, true, false,
     0},
    {"drive_slower_than_the_music", "tracks 150 2250\ntones 440 660\nspeed 8 1.5\nreports 512\n", {150, 2250}, false,
     false, 4},
    {"drive_stalling_in_a_track", "tracks 150 2250\ntones 440 660\nspeed 8 4\nreports 512\nstall 2175 15000\n",
     {150, 2250}, false, true, 0},
};

class WhileReading : public ::testing::TestWithParam<Pace> {};

TEST_P(WhileReading, EveryTrackIsHeardWholeAndInOrder)
{
    const Pace &p = GetParam();
    const TempDir dir;
    const DriveRun r = tbx_play(dir, p.script, Clock::Real, [](Spawn &s) { s.err_to_out = true; });
    const std::string folder = folder_of(dir, cached(dir));
    std::string plays;
    for (size_t i = 0; i < p.frames.size(); ++i)
        plays += track(static_cast<int>(i), "0:" + std::to_string(p.frames[i] / 75));
    EXPECT_EQ(tbx_lines(r.out), output::header(static_cast<int>(p.frames.size()), folder) + plays);
    EXPECT_EQ(r.status, 0);
    const int n = static_cast<int>(p.frames.size());
    if (p.first_while_read) {
        EXPECT_LT(r.out.find(track(0, "0:" + std::to_string(p.frames[0] / 75))), r.out.find(said::reading_track(2, n)))
            << r.out;
    }
    // Where the music waits inside the second track, it says so.
    const size_t waits = r.out.find(said::waits_for_the_drive(), r.out.find("Playing Track [ 1 ]"));
    EXPECT_EQ(waits < r.out.find(n > 2 ? "Playing Track [ 2 ]" : said::kept(folder)), p.waits_inside) << r.out;
    std::vector<double> hz = {440, 660, 990};
    hz.resize(p.frames.size());
    const std::vector<double> gaps = expect_heard(dir / "capture", hz, p.frames);
    for (const double gap : gaps)
        EXPECT_GE(gap, p.least_gap) << "the music did not wait for the drive";
    // Paused, the music goes on from where it was: no silence inside a track.
    const std::vector<tones::Run> runs = tones::tone_runs(tones::read_capture(dir / "capture"), hz);
    for (size_t i = 0; i < hz.size(); ++i) {
        const tones::Run *run = tones::longest(runs, static_cast<int>(i));
        if (run != nullptr) {
            EXPECT_GE(run->end - run->start, p.frames[i] / 75.0 - 0.25) << "tone " << i << ": " << tones::describe(runs, hz);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(TbxPlay, WhileReading, ::testing::ValuesIn(kPaces), ByName());

const std::string kDisc = "tracks 375 375 375\ntones 440 660 990\n";
const std::string kDiscLines = track(0, "0:5") + track(1, "0:5") + track(2, "0:5");

struct Damage {
    const char *name;
    std::function<void(const std::string &folder)> done;
};

const Damage kDamages[] = {
    {"track_missing", [](const std::string &f) { fs::remove(f + "/track02.mp3"); }},
    {"track_cut_short", [](const std::string &f) { fs::resize_file(f + "/track02.mp3", fs::file_size(f + "/track02.mp3") / 2); }},
    {"table_of_another_disc", [](const std::string &f) { std::ofstream(f + "/toc") << "1 audio 0 375\n"; }},
    {"track_emptied", [](const std::string &f) { fs::resize_file(f + "/track03.mp3", 0); }},
    // One bit, in the middle: the same length, the same frames.
    {"byte_flipped_in_the_middle",
     [](const std::string &f) {
         std::fstream track(f + "/track02.mp3", std::ios::binary | std::ios::in | std::ios::out);
         track.seekg(static_cast<std::streamoff>(fs::file_size(f + "/track02.mp3") / 2));
         const char c = static_cast<char>(track.get() ^ 0x01);
         track.seekp(-1, std::ios::cur);
         track.put(c);
     }},
};

class DamagedCache : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedCache, IsReadAgain)
{
    const TempDir dir;
    ASSERT_EQ(tbx_play(dir, kDisc, Clock::Fast).status, 0);
    const std::vector<std::string> whole = cached(dir);
    const std::string folder = folder_of(dir, whole);
    GetParam().done(folder);

    const DriveRun r = tbx_play(dir, kDisc, Clock::Fast);
    EXPECT_EQ(r.out, output::header(3, folder) + kDiscLines);
    EXPECT_EQ(ours(r.err).rfind(said::read_again(folder) + said::reading(kDevice, folder), 0), 0U) << r.err;
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.read_audio());
    EXPECT_EQ(cached(dir), whole);
}

INSTANTIATE_TEST_SUITE_P(TbxPlay, DamagedCache, ::testing::ValuesIn(kDamages), ByName());

// --- Real drives' habits: a buffer, a scratch ---

// A disc of three 20 s tracks.
const std::string kLongerDisc = "tracks 1500 1500 1500\ntones 440 660 990\n";

// Its tracks' files as a drive without buffer or damage gives them, read once.
const std::vector<std::string> &clean_tracks()
{
    static const std::vector<std::string> files = [] {
        const TempDir dir;
        std::vector<std::string> read;
        if (tbx_play(dir, kLongerDisc, Clock::Fast).status == 0)
            for (const char *name : {"/track01.mp3", "/track02.mp3", "/track03.mp3"})
                read.push_back(read_file(folder_of(dir, cached(dir)) + name));
        return read;
    }();
    return files;
}

struct Buffered {
    const char *name;
    const char *drive; // its buffer, and what it reports of it
    const char *damage;
    bool leaks = false; // it buffers more than it reports
};

// Each read of the disc 2 s to 6 s into a track gives a burst of wrong
// samples at a chance of 0.3, a fresh one each time; a drive that reports
// its buffer, or buffers no more than 1200 sectors, lets none through.
const Buffered kBuffered[] = {
    {"no_buffer", "", "damaged 300 599 0.3\n"},
    {"buffer_of_2_mb_reported", "cache 890\nreports 2048\n", "damaged 300 599 0.3\n"},
    {"buffer_of_2_mb_reported_damage_in_track_2", "cache 890\nreports 2048\n", "damaged 1800 2099 0.3\n"},
    {"buffer_of_2_mb_unreported", "cache 890\n", "damaged 300 599 0.3\n"},
    {"buffer_of_4_mb_reported", "cache 1800\nreports 4096\n", "damaged 1800 2099 0.3\n"},
    // What the drive reports is what is allowed for: it fools the read.
    {"buffers_more_than_it_reports", "cache 890\nreports 512\n", "damaged 300 599 0.3\n", true},
};

class ThroughABuffer : public ::testing::TestWithParam<Buffered> {};

TEST_P(ThroughABuffer, WhatIsKeptIsTheDiscsOwn)
{
    const Buffered &b = GetParam();
    ASSERT_EQ(clean_tracks().size(), 3U);
    const TempDir dir;
    const DriveRun r = tbx_play(dir, kLongerDisc + b.drive + b.damage, Clock::Fast);
    const std::string folder = folder_of(dir, cached(dir));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ours(r.err), said::reading(kDevice, folder) + said::reading_track(1, 3) + said::reading_track(2, 3) +
                               said::reading_track(3, 3) + said::kept(folder));
    const char *const names[] = {"/track01.mp3", "/track02.mp3", "/track03.mp3"};
    bool as_held = true;
    for (size_t i = 0; i < 3; ++i)
        as_held = as_held && read_file(folder + names[i]) == clean_tracks()[i];
    EXPECT_EQ(as_held, !b.leaks) << "the tracks kept are the disc's own";
}

INSTANTIATE_TEST_SUITE_P(TbxPlay, ThroughABuffer, ::testing::ValuesIn(kBuffered), ByName());

ino_t inode_of(const std::string &path)
{
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

struct Scratch {
    const char *name;
    const char *damage; // ten frames 1 s into track 2
};

// Frames that read differently every time, or that the drive fails to
// read while it reads the rest (silent then).
const Scratch kScratches[] = {
    {"read_differently_every_time", "unsteady 600 601 602 603 604 605 606 607 608 609\n"},
    {"unreadable", "unreadable 600 601 602 603 604 605 606 607 608 609\n"},
};

class Scratched : public ::testing::TestWithParam<Scratch> {};

// The disc plays through, the place named, and is kept with the track
// marked; the next run reads that track again, and only that, while the
// disc plays as kept, and keeps the better reading.
TEST_P(Scratched, PlaysThroughAndItsDamagedTrackIsReadAgainNextTime)
{
    const TempDir dir;
    const std::string scratch = GetParam().damage;
    const std::string place = said::place(2, "0:01", "0.13");
    const DriveRun first = tbx_play(dir, kDisc + scratch, Clock::Fast);
    const std::string folder = folder_of(dir, cached(dir));
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, output::header(3, folder) + kDiscLines);
    EXPECT_EQ(ours(first.err), said::reading(kDevice, folder) + said::reading_track(1, 3) + said::reading_track(2, 3) +
                                   said::damaged(place) + said::reading_track(3, 3) + said::kept(folder, place));
    EXPECT_NE(read_file(folder + "/toc").find("\ndamaged track02.mp3 "), std::string::npos);
    const ino_t one = inode_of(folder + "/track01.mp3"), three = inode_of(folder + "/track03.mp3");

    // Still scratched: no better, kept as it was.
    const DriveRun again = tbx_play(dir, kDisc + scratch, Clock::Fast);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, output::header(3, folder) + kDiscLines);
    EXPECT_EQ(ours(again.err), said::reading_damaged_again(kDevice, folder, "track 2") + said::reading_track(2, 3) +
                                   said::damaged(place) + said::no_better(2, folder));
    EXPECT_EQ(inode_of(folder + "/track01.mp3"), one) << "a track read whole before, read again";
    EXPECT_EQ(inode_of(folder + "/track03.mp3"), three) << "a track read whole before, read again";

    // Mended (a drive that reads it): exact now.
    const DriveRun mended = tbx_play(dir, kDisc, Clock::Fast);
    EXPECT_EQ(mended.status, 0);
    EXPECT_EQ(ours(mended.err), said::reading_damaged_again(kDevice, folder, "track 2") + said::reading_track(2, 3) +
                                    said::exact_now(2, folder));
    EXPECT_EQ(read_file(folder + "/toc").find("damaged"), std::string::npos);
    EXPECT_EQ(inode_of(folder + "/track01.mp3"), one);

    const DriveRun played = tbx_play(dir, kDisc, Clock::Fast);
    EXPECT_EQ(ours(played.err), said::read_before(kDevice, folder));
    EXPECT_FALSE(played.read_audio());
    EXPECT_EQ(played.out, output::header(3, folder) + kDiscLines);
}

INSTANTIATE_TEST_SUITE_P(TbxPlay, Scratched, ::testing::ValuesIn(kScratches), ByName());

// --- Faults ---

// Nothing of a disc kept, or the whole disc.
void expect_nothing_left(const TempDir &dir)
{
    EXPECT_EQ(cached(dir), std::vector<std::string>{});
    EXPECT_EQ(left_running(dir), std::vector<std::string>{});
}

struct Stop {
    const char *name;
    int signal;
    const char *moment;
};

// When the signal comes: during the read, before tbx starts; while tbx
// plays and the read goes on; while tbx plays the disc from the cache.
const char *const kReading = "reading";
const char *const kPlayingWhileReading = "playing_while_reading";
const char *const kPlayingFromTheCache = "playing_from_the_cache";
const char *const kPausedForTheRead = "paused_for_the_read";
// The drive stuck for seconds in one read, as on a scratch it retries.
const char *const kStalledRead = "in_a_stalled_read";

std::vector<Stop> stops()
{
    std::vector<Stop> all;
    for (const auto &[name, signal] : {std::pair{"sigint", SIGINT}, {"sigterm", SIGTERM}, {"sighup", SIGHUP}})
        for (const char *moment : {kReading, kPlayingWhileReading, kPlayingFromTheCache})
            all.push_back({name, signal, moment});
    all.push_back({"sigint", SIGINT, kPausedForTheRead});
    all.push_back({"sigint", SIGINT, kStalledRead});
    return all;
}

class Stopped : public ::testing::TestWithParam<Stop> {};

TEST_P(Stopped, WithinASecondEverythingHasEndedAndNothingHalfReadIsKept)
{
    const Stop &s = GetParam();
    const TempDir dir;
    const bool from_cache = s.moment == kPlayingFromTheCache;
    if (from_cache) {
        ASSERT_EQ(tbx_play(dir, kDisc, Clock::Fast).status, 0);
    }
    const std::vector<std::string> before = cached(dir);
    const bool paused = s.moment == kPausedForTheRead, stalled = s.moment == kStalledRead;
    const std::string once = s.moment == kReading ? "Reading the disc"
                             : paused             ? said::waits_for_the_drive()
                             : stalled            ? "Reading track 1 of 3"
                                                  : "Playing Track [ 0 ]";
    // Paused: the drive stalls 15 s 25 s into the track, which plays by then.
    // Stalled: its
    // second read, right after the first line of progress, takes 3 s.
    const std::string disc = paused    ? "tracks 2250\ntones 440\nspeed 4\nreports 512\nstall 2025 15000\n"
                             : stalled ? kDisc + "stall 180 3000\n"
                                       : kDisc + "speed 8\n";
    const DriveRun r = tbx_play(dir, disc, Clock::Real, [&](Spawn &spawn) {
        spawn.signal = Spawn::Signal{s.signal, once};
        spawn.err_to_out = paused;
    });
    // By the signal itself, as a shell sees its own children end on Ctrl-C.
    EXPECT_EQ(r.status, 1000 + s.signal);
    EXPECT_GE(r.signal_to_exit_ms, 0);
    EXPECT_LE(r.signal_to_exit_ms, 1000);
    EXPECT_TRUE(ends_with(ours(paused ? r.out : r.err), from_cache ? said::kStopped : said::kStoppedReading)) << r.err;
    EXPECT_EQ(cached(dir), before);
    EXPECT_EQ(left_running(dir), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(TbxPlay, Stopped, ::testing::ValuesIn(stops()),
                         [](const ::testing::TestParamInfo<Stop> &i) {
                             return std::string(i.param.name) + "_" + i.param.moment;
                         });

// Steps of the start where a drive may take seconds to answer (spinning
// up, a tray closing): there is nothing yet to take out, and a signal ends
// the run at once, by itself.
struct Step {
    const char *name;
    const char *stall;
};

const Step kSteps[] = {
    {"opening_the_drive", "stall on CDROMREADTOCHDR 1 3000\n"},
    {"reading_the_disc_id", "stall on CDROMREADTOCHDR 2 3000\n"},
    {"readying_the_drive_to_read_audio", "stall on CDROM_SEND_PACKET 1 3000\n"},
};

class StoppedWhileStarting : public ::testing::TestWithParam<Step> {};

TEST_P(StoppedWhileStarting, EndsAtOnceByTheSignal)
{
    const TempDir dir;
    const DriveRun r = tbx_play(dir, kDisc + GetParam().stall, Clock::Fast, [](Spawn &spawn) {
        spawn.signal = Spawn::Signal{SIGINT, "", false, 500};
    });
    EXPECT_EQ(r.status, 1000 + SIGINT);
    EXPECT_GE(r.signal_to_exit_ms, 0);
    EXPECT_LE(r.signal_to_exit_ms, 1000);
    EXPECT_EQ(ours(r.err), "");
    expect_nothing_left(dir);
}

INSTANTIATE_TEST_SUITE_P(TbxPlay, StoppedWhileStarting, ::testing::ValuesIn(kSteps), ByName());

// Where the disc in the emulated drive would be kept: a fresh folder of
// the cache, on a file system of kilobytes (a mount of its own, in a mount
// namespace of its own; a user namespace too where the tests are not root).
void on_a_small_disk(Spawn &s, int kilobytes)
{
    const std::string cache = s.env.at("XDG_CACHE_HOME").value();
    fs::create_directories(cache);
    std::vector<std::string> argv = {"/usr/bin/unshare", "--mount"};
    if (geteuid() != 0)
        argv.push_back("--map-root-user");
    argv.insert(argv.end(), {"/bin/sh", "-c",
                             "mount -t tmpfs -o size=" + std::to_string(kilobytes) +
                                 "k tmpfs \"$XDG_CACHE_HOME\" && \"$0\"; status=$?; find \"$XDG_CACHE_HOME\" -name "
                                 "'*.mp3' >\"$XDG_CACHE_HOME/../left\"; exit $status",
                             s.argv[0]});
    s.argv = argv;
}

struct Fault {
    const char *name;
    std::string script;
    std::function<void(Spawn &, const TempDir &)> adjust;
    int status;
    std::function<std::string(const TempDir &)> err; // all that tbx-play says, or its last line
    std::optional<std::string> out; // what tbx said, "tbx" where it played; not looked at where it may have
};

// What the system says of a drive that answers every read with an error.
const std::string kIoError = "Input/output error";

// A drive that no longer answers: every command fails from one on, before
// tbx has started, while it plays, or in the very track it plays as it is
// read, in real time. Every stretch is read a drive's reach ahead of where
// it is verified, and a disc shorter than that is read whole before any of
// it plays: the first read that fails is there. A frame the drive cannot
// read, while it reads the rest, is a scratch (below).
const Fault kFaults[] = {
    {"drive_fails_before_tbx_plays", kDisc + "fails after CDROM_SEND_PACKET 20\n", nullptr, 1,
     [](const TempDir &) { return said::drive_error(kDevice, 1, "0:04", kIoError); }, ""},
    {"drive_fails_while_tbx_plays", kLongerDisc + "fails after CDROM_SEND_PACKET 300\n", nullptr, 1,
     [](const TempDir &) { return said::drive_error(kDevice, 2, "0:09", kIoError); }, "tbx"},
    {"drive_fails_in_the_track_playing", "tracks 4500\ntones 440\nspeed 20\nfails after CDROM_SEND_PACKET 300\n",
     [](Spawn &s, const TempDir &dir) { s.env = reading_a_disc(IOCTL_DRIVE, TBX, dir, true); }, 1,
     [](const TempDir &) { return said::drive_error(kDevice, 1, "0:29", kIoError); }, "tbx"},
    {"disc_ejected_mid_read", kDisc + "eject after CDROM_SEND_PACKET 60\n", nullptr, 1,
     [](const TempDir &) { return said::taken_out(kDevice, 1, "0:01"); }, std::nullopt},
    // Room for the stand-ins and the first track, not for the second.
    {"cache_disk_full", kDisc, [](Spawn &s, const TempDir &) { on_a_small_disk(s, 200); }, 1,
     [](const TempDir &dir) { return said::disk_full(dir / "cache/tbx"); }, std::nullopt},
    {"no_permission_to_read_the_drive", "no permission\n", nullptr, 1,
     [](const TempDir &) { return said::no_permission(kDevice); }, ""},
    {"no_disc", "tray empty\n", nullptr, 255, [](const TempDir &) { return ""; }, output::kNoDisc},
    // The drive's own output, on classic SDL, as tbx alone plays such a disc.
    {"no_audio_track", "tracks 300 300\ndata 0\ndata 1\n",
     [](Spawn &s, const TempDir &) { s.env["TBX_CLASSIC_SDL"] = CLASSIC_SDL_DIR; }, 0,
     [](const TempDir &) { return said::no_audio(kDevice); },
     output::header(2, kDevice) + track(0, "0:4") + kWarning + track(1, "0:4") + kWarning},
    // Before the drive is read; tbx never starts.
    {"cache_of_another_user", kDisc,
     [](Spawn &, const TempDir &dir) {
         fs::create_directories(dir / "cache/tbx");
         ASSERT_EQ(chown((dir / "cache/tbx").c_str(), 65534, 65534), 0);
     },
     1, [](const TempDir &dir) { return said::not_yours(dir / "cache/tbx", "another user's"); }, ""},
    {"sdl12_compat_not_installed", kDisc,
     [](Spawn &s, const TempDir &dir) { s.env["TBX_COMPAT_SDL"] = dir / "nowhere"; }, 1,
     [](const TempDir &dir) { return said::no_compat(dir / "nowhere", SDL12_COMPAT_PACKAGE); }, ""},
};

class Faults : public ::testing::TestWithParam<Fault> {};

TEST_P(Faults, AreNamedAndLeaveNothing)
{
    const Fault &f = GetParam();
    const TempDir dir;
    const DriveRun r = tbx_play(dir, f.script, Clock::Fast, [&](Spawn &s) {
        if (f.adjust)
            f.adjust(s, dir);
    });
    EXPECT_EQ(r.status, f.status);
    // A fault is said last; where there is none, tbx-play says only what it plays.
    if (f.status == 1) {
        EXPECT_TRUE(ends_with(ours(r.err), f.err(dir))) << r.err;
    } else {
        EXPECT_EQ(ours(r.err), f.err(dir));
    }
    if (f.out == "tbx") {
        EXPECT_EQ(r.out.rfind("Tonbox", 0), 0U) << "tbx did not play";
    } else if (f.out) {
        EXPECT_EQ(r.out, *f.out);
    }
    expect_nothing_left(dir);
    if (fs::exists(dir / "left")) {
        EXPECT_EQ(read_file(dir / "left"), "") << "the small disk's tracks";
    }
}

INSTANTIATE_TEST_SUITE_P(TbxPlay, Faults, ::testing::ValuesIn(kFaults), ByName());

struct Odd {
    const char *name;
    std::string script;
    bool from_cache; // the disc read by a run before
    std::function<void(Spawn &, const TempDir &)> adjust;
    int status;
    std::function<std::string(const TempDir &)> err; // how what tbx-play says ends; "": nothing of its own
    enum Out { Nothing, Whole, Cut } out;             // of tbx's lines: none, all, the first ones
    bool changes_user = false;                        // so only where the tests run as root
};

// Started by a parent that ignores SIGCHLD, as some daemons and service managers do.
void ignoring_sigchld(Spawn &s, const TempDir &)
{
    s.argv.insert(s.argv.begin(), {"/usr/bin/env", "--ignore-signal=CHLD"});
}

void no_tbx(Spawn &s, const TempDir &) { s.env["TBX"] = "/nonexistent"; }

// Its output into a pipe whose reader takes the first line, then leaves, as head -1 does.
void read_one_line(Spawn &s, const TempDir &) { s.pipe_reader_takes = 20; }

// Started with a standard descriptor closed, as by the shell's >&- or 2>&-.
std::function<void(Spawn &, const TempDir &)> closed(const char *redirection)
{
    return [redirection](Spawn &s, const TempDir &) {
        s.argv.insert(s.argv.begin(), {"/bin/sh", "-c", std::string("exec \"$0\" ") + redirection});
    };
}

const int kByPipe = 1000 + SIGPIPE;

// Run as nobody, allowed n processes and threads in all, the run's own
// included: the next refused.
std::function<void(Spawn &, const TempDir &)> at_most_tasks(long n)
{
    return [n](Spawn &s, const TempDir &dir) {
        ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
        s.user = Spawn::User{65534, n};
    };
}

const std::string kNoMoreTasks = "Resource temporarily unavailable";

// Whether a user with no rights of its own may run the program at path:
// every folder on the way open to others (a build under /root is not).
bool others_may_run(const std::string &path)
{
    for (fs::path p = path; p != p.root_path(); p = p.parent_path()) {
        struct stat st;
        if (stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
            return false;
    }
    return true;
}

const std::string kNoSuchFile = "No such file or directory";

// Environments a run may be started in that are not the usual one.
const Odd kOdds[] = {
    {"sigchld_ignored_while_reading", kDisc, false, ignoring_sigchld, 0,
     [](const TempDir &dir) { return said::kept(folder_of(dir, cached(dir))); }, Odd::Whole},
    {"sigchld_ignored_from_the_cache", kDisc, true, ignoring_sigchld, 0,
     [](const TempDir &dir) { return said::read_before(kDevice, folder_of(dir, cached(dir))); }, Odd::Whole},
    {"tbx_missing_while_reading", kDisc, false, no_tbx, 1,
     [](const TempDir &) { return said::cannot_run("/nonexistent", kNoSuchFile) + said::kNothingKept; }, Odd::Nothing},
    {"tbx_missing_from_the_cache", kDisc, true, no_tbx, 1,
     [](const TempDir &) { return said::cannot_run("/nonexistent", kNoSuchFile) + ".\n"; }, Odd::Nothing},
    // Where tbx-play hands the drive to tbx, in its own place.
    {"tbx_missing_without_a_disc", "tray empty\n", false, no_tbx, 1,
     [](const TempDir &) { return said::cannot_run("/nonexistent", kNoSuchFile) + ".\n"; }, Odd::Nothing},
    {"tbx_not_executable", kDisc, false,
     [](Spawn &s, const TempDir &dir) {
         std::ofstream(dir / "tbx") << "#!/bin/sh\n";
         s.env["TBX"] = dir / "tbx";
     },
     1, [](const TempDir &dir) { return said::cannot_run(dir / "tbx", "Permission denied") + said::kNothingKept; },
     Odd::Nothing},
    {"which_drive_into_a_full_disk", kDisc, false,
     [](Spawn &s, const TempDir &) {
         s.argv.push_back("--which-drive");
         s.stdout_path = "/dev/full";
     },
     1, [](const TempDir &) { return said::cannot_write_out("No space left on device"); }, Odd::Nothing},
    // Ended quietly, as by the SIGPIPE a write brings: tbx, the read and
    // all that was read with it.
    {"output_closed_while_reading", kDisc, false, read_one_line, kByPipe, [](const TempDir &) { return ""; }, Odd::Cut},
    {"output_closed_from_the_cache", kDisc, true, read_one_line, kByPipe, [](const TempDir &) { return ""; }, Odd::Cut},
    {"errors_closed_while_reading", kDisc, false,
     [](Spawn &s, const TempDir &dir) {
         read_one_line(s, dir);
         s.err_to_out = true;
     },
     kByPipe, [](const TempDir &) { return ""; }, Odd::Cut},
    {"output_closed_at_start", kDisc, false, closed(">&-"), 1,
     [](const TempDir &) { return said::cannot_write_out("Bad file descriptor"); }, Odd::Nothing},
    // Nothing can be said, and nothing needs to be.
    {"errors_closed_at_start", kDisc, false, closed("2>&-"), 0, [](const TempDir &) { return ""; }, Odd::Whole},
    // The reading thread is started first, then tbx.
    {"thread_refused", kDisc, false, at_most_tasks(1), 1,
     [](const TempDir &) { return "tbx-play: cannot start the read: " + kNoMoreTasks + said::kNothingKept; },
     Odd::Nothing, true},
    {"fork_refused", kDisc, false, at_most_tasks(2), 1,
     [](const TempDir &) { return "tbx-play: cannot start tbx: " + kNoMoreTasks + said::kNothingKept; },
     Odd::Nothing, true},
};

class OddEnvironment : public ::testing::TestWithParam<Odd> {};

TEST_P(OddEnvironment, EndsAsItShouldAndSaysWhy)
{
    const Odd &o = GetParam();
    if (o.changes_user && (geteuid() != 0 || !others_may_run(TBX_PLAY)))
        GTEST_SKIP() << "only root may run it as another user, and only from a build others may reach";
    const TempDir dir;
    if (o.from_cache) {
        ASSERT_EQ(tbx_play(dir, o.script, Clock::Fast).status, 0);
    }
    const std::vector<std::string> before = cached(dir);
    const DriveRun r = tbx_play(dir, o.script, Clock::Fast, [&](Spawn &s) {
        // A run that hangs ends sooner than the default.
        s.timeout_s = 20;
        o.adjust(s, dir);
    });
    EXPECT_EQ(r.status, o.status);
    const std::string err = o.err(dir);
    if (err.empty()) {
        EXPECT_EQ(ours(r.err).find("tbx-play:"), std::string::npos) << r.err;
    } else {
        EXPECT_TRUE(ends_with(ours(r.err), err)) << r.err;
    }
    const std::vector<std::string> after = cached(dir);
    if (o.out == Odd::Cut) {
        EXPECT_EQ(r.out.size(), 20U);
    } else {
        EXPECT_EQ(r.out, o.out == Odd::Whole ? output::header(3, folder_of(dir, after)) + kDiscLines : "");
    }
    if (o.from_cache) {
        EXPECT_EQ(after, before);
    } else {
        EXPECT_EQ(after.size(), o.status == 0 ? 5U : 0U) << "the disc's folder, its table and three tracks, or nothing";
    }
    EXPECT_EQ(left_running(dir), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(TbxPlay, OddEnvironment, ::testing::ValuesIn(kOdds), ByName());

TEST(TbxPlay, WhatAKilledRunLeavesTheNextRunRemoves)
{
    const TempDir dir;
    const DriveRun killed = tbx_play(dir, kDisc + "speed 8\n", Clock::Fast, [](Spawn &s) {
        s.signal = Spawn::Signal{SIGKILL, "Playing Track [ 0 ]"};
    });
    EXPECT_EQ(killed.status, 1000 + SIGKILL);
    EXPECT_GT(cached(dir).size(), 1U) << "a half-read disc, in a folder aside and linked from its place";
    // tbx goes with it.
    for (int waited = 0; !left_running(dir).empty() && waited < 100; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(left_running(dir), std::vector<std::string>{});

    const DriveRun next = tbx_play(dir, kDisc, Clock::Fast);
    const std::vector<std::string> files = cached(dir);
    EXPECT_EQ(files.size(), 5U) << "the disc's folder, its table and three tracks";
    EXPECT_EQ(next.out, output::header(3, folder_of(dir, files)) + kDiscLines);
    EXPECT_EQ(next.status, 0);
}

TEST(TbxPlay, TwoRunsAtOnceReadTheDiscOnce)
{
    const TempDir dir;
    DriveRun first;
    std::thread reading([&] { first = tbx_play(dir, kDisc + "speed 8\n", Clock::Fast); });
    // The second comes while the first reads.
    for (int waited = 0; cached(dir).empty() && waited < 500; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const DriveRun second = tbx_play(dir, kDisc, Clock::Fast);
    reading.join();

    const std::string folder = folder_of(dir, cached(dir));
    EXPECT_EQ(first.out, output::header(3, folder) + kDiscLines);
    EXPECT_EQ(second.out, output::header(3, folder) + kDiscLines);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(second.status, 0);
    EXPECT_TRUE(first.read_audio());
    EXPECT_FALSE(second.read_audio());
    EXPECT_EQ(ours(second.err), said::waiting(kDevice) + said::read_before(kDevice, folder));
}

// A terminal as far as tbx-play uses one: text, carriage returns, new
// lines, and erasing to the end of the line.
struct Screen {
    std::vector<std::string> rows = {""};
    size_t column = 0;

    void put(const std::string &text, const std::function<void(const Screen &)> &after_each = nullptr)
    {
        for (size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '\r') {
                column = 0;
            } else if (c == '\n') {
                rows.emplace_back();
                column = 0;
            } else if (c == '\033' && text.compare(i, 3, "\033[K") == 0) {
                rows.back().resize(std::min(rows.back().size(), column));
                i += 2;
            } else {
                std::string &row = rows.back();
                row.resize(std::max(row.size(), column + 1), ' ');
                row[column++] = c;
            }
            if (after_each)
                after_each(*this);
        }
    }
};

TEST(TbxPlay, OnATerminalTheProgressStaysBelowTbxsLines)
{
    const TempDir dir;
    const DriveRun r = tbx_play(dir, kDisc + "speed 8\n", Clock::Fast, [](Spawn &s) { s.terminal = true; });
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string folder = folder_of(dir, cached(dir));

    // Before the music, the progress says what it waits for, and how fast
    // the drive reads; while tbx plays the first track, the read's progress
    // is the last line: how much is read, how fast, how far ahead of the music.
    bool verifying = false, progress_below_tbx = false;
    Screen screen;
    screen.put(r.out, [&](const Screen &s) {
        const std::string &last = s.rows.back();
        const bool before_tbx = std::none_of(s.rows.begin(), s.rows.end(),
                                             [](const std::string &row) { return row.rfind("Tonbox", 0) == 0; });
        verifying = verifying || (before_tbx && last.rfind("Reading track 1 of 3: ", 0) == 0 &&
                                  last.find("x real time; verifying the first seconds") != std::string::npos);
        progress_below_tbx = progress_below_tbx ||
                             (s.rows.size() > 1 && s.rows[s.rows.size() - 2] + "\n" == track(0, "0:5") &&
                              last.rfind("Reading track 2 of 3: ", 0) == 0 && last.find("% of the disc at ") != std::string::npos &&
                              last.find("x real time, ") != std::string::npos &&
                              last.find(" s ahead of the music") != std::string::npos);
    });
    EXPECT_TRUE(verifying) << r.out;
    EXPECT_TRUE(progress_below_tbx) << r.out;

    // In the end, every line whole and in order, and the progress gone;
    // tbx's last line and the end of the read come in either order.
    std::string shown;
    for (const std::string &row : screen.rows)
        if (row.rfind("CRITICAL: ", 0) != 0 && row + "\n" != said::kept(folder))
            shown += row + "\n";
    EXPECT_EQ(shown, said::reading(kDevice, folder) + output::header(3, folder) + kDiscLines + "\n") << r.out;
    EXPECT_NE(r.out.find(said::kept(folder).substr(0, 20)), std::string::npos);
}

// --- A terminal on hold (^S), as a user holds it, or a stalled link ---

const std::string kHold = "\x13", kGoOn = "\x11";
using Moment = std::chrono::steady_clock::time_point;

std::chrono::milliseconds since(Moment m)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m);
}

// The run has gone on to its end on hold: tbx has played and ended, the
// disc is read and kept (its folder and so many files in it), and tbx-play
// alone is left, its last words waiting for the terminal.
bool played_through(const TempDir &dir, size_t kept)
{
    return left_running(dir) == std::vector<std::string>{"tbx-play\n"} && cached(dir).size() == kept;
}

// What a terminal shows in the end, SDL's warnings left out.
std::string shown(const std::string &out)
{
    Screen screen;
    screen.put(out);
    std::string rows;
    for (const std::string &row : screen.rows)
        if (row.rfind("CRITICAL: ", 0) != 0)
            rows += row + "\n";
    return rows;
}

// Held from our first line, before tbx's, to the run's end: tbx plays on,
// paused where the second track is read slower than the music; let go,
// every line comes once, whole and in order, the progress line gone.
TEST(TbxPlay, OnATerminalOnHoldTheDiscPlaysOnAndEveryLineComesOnceLetGo)
{
    const TempDir dir;
    const Moment start = std::chrono::steady_clock::now();
    bool through = false;
    const DriveRun r = tbx_play(dir, "tracks 150 375\ntones 440 660\nspeed 8 1\nreports 512\n", Clock::Real, [&](Spawn &s) {
        s.terminal = true;
        s.typed = {{kHold, "Reading the disc"},
                   {kGoOn, "", [&] {
                        through = played_through(dir, 4);
                        return through || since(start) > std::chrono::seconds(40);
                    }}};
    });
    EXPECT_TRUE(through) << "the run stopped while the terminal was on hold";
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string folder = folder_of(dir, cached(dir));
    // tbx's last line and the end of the read come in either order.
    std::string rows = shown(r.out);
    const size_t kept = rows.find(said::kept(folder));
    ASSERT_NE(kept, std::string::npos) << r.out;
    rows.erase(kept, said::kept(folder).size());
    EXPECT_EQ(rows, said::reading(kDevice, folder) + output::header(2, folder) + track(0, "0:2") + track(1, "0:5") + "\n")
        << r.out;
    const std::vector<double> hz = {440, 660};
    expect_heard(dir / "capture", hz, {150, 375});
    // Paused, the music goes on from where it was.
    const std::vector<tones::Run> runs = tones::tone_runs(tones::read_capture(dir / "capture"), hz);
    const tones::Run *second = tones::longest(runs, 1);
    ASSERT_NE(second, nullptr);
    EXPECT_GE(second->end - second->start, 5 - 0.25) << tones::describe(runs, hz);
}

struct Held {
    const char *name;
    bool from_cache;
    const char *held_once; // written when the terminal is held
    bool at_the_end;       // the signal once the run has played through, its last words waiting
};

const Held kHelds[] = {
    {"while_reading_and_playing", false, "Playing Track [ 0 ]", false},
    {"playing_from_the_cache", true, "Playing Track [ 0 ]", false},
    {"its_last_words_waiting", false, "Reading the disc", true},
};

class StoppedOnHold : public ::testing::TestWithParam<Held> {};

TEST_P(StoppedOnHold, WithinASecondEverythingHasEnded)
{
    const Held &h = GetParam();
    const TempDir dir;
    if (h.from_cache) {
        ASSERT_EQ(tbx_play(dir, kDisc, Clock::Fast).status, 0);
    }
    const std::vector<std::string> before = cached(dir);
    const Moment start = std::chrono::steady_clock::now();
    std::optional<Moment> held;
    const DriveRun r = tbx_play(dir, kDisc + "speed 8\n", h.at_the_end ? Clock::Fast : Clock::Real, [&](Spawn &s) {
        s.terminal = true;
        s.timeout_s = 30;
        s.typed = {{kHold, h.held_once, [&] {
                        held = std::chrono::steady_clock::now();
                        return true;
                    }}};
        s.signal = Spawn::Signal{SIGINT, h.held_once};
        // Half a second on hold, while the run goes on; or its end.
        s.signal->when = [&] {
            if (h.at_the_end)
                return played_through(dir, 5) || since(start) > std::chrono::seconds(20);
            return held && since(*held) > std::chrono::milliseconds(500);
        };
    });
    EXPECT_EQ(r.status, 1000 + SIGINT);
    EXPECT_GE(r.signal_to_exit_ms, 0);
    EXPECT_LE(r.signal_to_exit_ms, 1000);
    // Nothing half-read: what was kept before, or the disc read whole.
    if (h.at_the_end) {
        EXPECT_EQ(cached(dir).size(), 5U);
    } else {
        EXPECT_EQ(cached(dir), before);
    }
    EXPECT_EQ(left_running(dir), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(TbxPlay, StoppedOnHold, ::testing::ValuesIn(kHelds), ByName());

} // namespace
