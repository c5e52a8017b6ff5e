// How far past its descriptor's offset sdl12-compat reads the file of a
// track, and how it moves that offset: the shipped tbx on sdl12-compat's
// emulated drive under strace, playing discs encoded as tbx-play encodes
// them. tbx-play keeps what it has written of a track ahead of that offset
// by Pacing::kLargestRead and a margin; this proves the bound on the
// sdl12-compat of the release the tests run on, and prints what it saw.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_run.h"
#include "mp3.h"
#include "pacing.h"
#include "process.h"
#include "test_names.h"
#include "tones.h"

namespace {

constexpr size_t kSamplesPerCdFrame = 588;

using Track = std::vector<tones::Piece>;

// A sample of sound as a CD holds it.
short sample(float v) { return static_cast<short>(std::clamp(v, -1.0F, 1.0F) * 32767); }

// Writes track into path as tbx-play encodes it, and gives its size. The
// right channel runs 10 ms behind the left, so that noise is as wide as a
// record's and costs as many bytes.
long encode(const std::string &path, const Track &track)
{
    const std::vector<float> mono = tones::synth(track);
    const long cd_frames = static_cast<long>(mono.size() / kSamplesPerCdFrame);
    const size_t behind = tones::kRate / 100;
    mp3::Encoder encoder(AT_FDCWD, path, cd_frames);
    std::vector<short> frame(2 * kSamplesPerCdFrame);
    bool fine = true;
    for (long f = 0; f < cd_frames && fine; ++f) {
        for (size_t s = 0; s < kSamplesPerCdFrame; ++s) {
            const size_t at = static_cast<size_t>(f) * kSamplesPerCdFrame + s;
            frame[2 * s] = sample(mono[at]);
            frame[2 * s + 1] = sample(at >= behind ? mono[at - behind] : 0);
        }
        fine = encoder.add(frame.data());
    }
    if (!fine || !encoder.finish())
        return -1;
    return static_cast<long>(read_file(path).size());
}

// What the trace shows of a track's file opened once.
struct Reads {
    long reads = 0;
    long largest = 0;  // bytes a read reached past the descriptor's offset
    long in_a_row = 0; // and reads in a row, none of the thread's calls between them
    long furthest = 0; // the end of the bytes read
    int seeks_back = 0;
};

// And over every time it was opened.
struct File {
    std::vector<Reads> openings;
    std::vector<std::string> faults; // what keeps the offset from telling how far it reads
};

// A descriptor on one: its track, which opening, and where its offset stands.
struct Opening {
    std::string track;
    size_t index;
    long offset = 0;
    long end = 0; // the furthest read since the last seek
};

// The arguments of a call as strace prints them, split at the commas
// outside brackets, braces and quotes.
std::vector<std::string> split_arguments(const std::string &args)
{
    std::vector<std::string> out(1);
    int depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const char c = args[i];
        if (quoted) {
            quoted = c != '"' || args[i - 1] == '\\';
        } else if (c == '"') {
            quoted = true;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.emplace_back();
            continue;
        }
        out.back() += c;
    }
    for (std::string &a : out)
        a.erase(0, a.find_first_not_of(' '));
    return out;
}

// A descriptor as strace -y prints it, "3</path>": the track's file name
// when it is one, else "".
std::string track_of(const std::string &word, long *fd = nullptr)
{
    static const std::regex kTrack(R"(^(\d+)<.*/(track\d\d\.mp3)>$)");
    std::smatch m;
    if (!std::regex_match(word, m, kTrack))
        return "";
    if (fd != nullptr)
        *fd = std::stol(m[1]);
    return m[2];
}

// The reads of each track's file in a trace of strace -f -y -s 0: the
// descriptors opened on them, followed through each read and seek.
std::map<std::string, File> follow(const std::string &trace)
{
    std::map<std::string, File> tracks;
    std::map<long, Opening> open;
    std::map<std::string, std::string> pending; // a thread's call, until it is resumed
    std::map<std::string, std::pair<long, long>> rows; // a thread's reads in a row: of which descriptor, from where
    std::istringstream lines(trace);
    static const std::regex kLine(R"(^(\d+) +(.*)$)");
    static const std::regex kResumed(R"(^<\.\.\. \w+ resumed>(.*)$)");
    static const std::regex kCall(R"(^(\w+)\((.*)\) += (\S+).*$)");
    const std::string unfinished = " <unfinished ...>";
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, kLine))
            continue;
        const std::string pid = m[1];
        std::string text = m[2];
        if (text.size() > unfinished.size() && text.compare(text.size() - unfinished.size(), unfinished.size(), unfinished) == 0) {
            pending[pid] = text.substr(0, text.size() - unfinished.size());
            continue;
        }
        if (std::regex_match(text, m, kResumed)) {
            text = pending[pid] + std::string(m[1]);
            pending.erase(pid);
        }
        if (!std::regex_match(text, m, kCall))
            continue;
        const std::string call = m[1];
        const std::vector<std::string> args = split_arguments(m[2]);
        const std::string result = m[3];
        const long returned = std::atol(result.c_str());
        const bool read = call == "read" || call == "readv" || call == "pread64" || call == "preadv" || call == "preadv2";
        if (!read)
            rows.erase(pid);

        long fd = -1;
        if (const std::string track = track_of(result, &fd); !track.empty()) {
            if (call == "openat" || call == "open") {
                std::vector<Reads> &openings = tracks[track].openings;
                open[fd] = {track, openings.size()};
                openings.emplace_back();
            } else {
                tracks[track].faults.push_back(call + " gave another descriptor on it");
            }
        }
        for (size_t i = 1; i < args.size(); ++i)
            if (const std::string track = track_of(args[i]); !track.empty())
                tracks[track].faults.push_back(call + " took it other than first");
        const std::string track = track_of(args[0], &fd);
        if (track.empty()) {
            rows.erase(pid);
            continue;
        }
        File &file = tracks[track];
        const auto o = open.find(fd);
        if (o == open.end() || o->second.track != track) {
            file.faults.push_back(call + " on a descriptor never seen opened");
            continue;
        }
        Opening &at = o->second;
        Reads &reads = file.openings[at.index];
        if (read) {
            const bool vector = call.back() == 'v' || call == "preadv2";
            const bool positioned = call[0] == 'p';
            long asked = 0;
            if (vector) {
                static const std::regex kLength(R"(iov_len=(\d+))");
                for (std::sregex_iterator i(args[1].begin(), args[1].end(), kLength), end; i != end; ++i)
                    asked += std::stol((*i)[1]);
            } else {
                asked = std::stol(args[2]);
            }
            const long from = positioned ? std::stol(args[3]) : at.offset;
            const long got = std::max(returned, 0L);
            if (from < at.end)
                file.faults.push_back(call + " went back from " + std::to_string(at.end) + " to " + std::to_string(from) +
                                       " without a seek");
            ++reads.reads;
            reads.largest = std::max(reads.largest, from + asked - at.offset);
            auto row = rows.try_emplace(pid, fd, at.offset).first;
            if (row->second.first != fd)
                row->second = {fd, at.offset};
            reads.in_a_row = std::max(reads.in_a_row, from + asked - row->second.second);
            reads.furthest = std::max(reads.furthest, from + got);
            at.end = std::max(at.end, from + got);
            if (!positioned)
                at.offset += got;
        } else if (call == "lseek" && returned >= 0) {
            // Where the offset was, asked of the kernel: nothing else moved it.
            if (args[2] == "SEEK_CUR" && returned != at.offset + std::stol(args[1]))
                file.faults.push_back("the offset stood at " + std::to_string(returned - std::stol(args[1])) +
                                       " where the reads left it at " + std::to_string(at.offset));
            if (returned < at.offset)
                ++reads.seeks_back;
            at.offset = at.end = returned;
        } else if (call == "close") {
            open.erase(o);
        } else if (call != "fstat" && call != "newfstatat" && call != "statx" && call != "fcntl" && call != "fadvise64" &&
                   call != "ioctl" && call != "fstatfs" && call != "flock" && call != "lseek") {
            file.faults.push_back(call + " on it");
        }
    }
    return tracks;
}

// The version of sdl12-compat's package, for the log.
std::string compat_version()
{
    Spawn spawn;
    spawn.argv = {"/usr/bin/dpkg-query", "-W", "-f=${Version}", SDL12_COMPAT_PACKAGE};
    const Exit e = run_process(spawn);
    return e.status == 0 ? e.out : "(unknown version)";
}

struct Disc {
    const char *name;
    std::vector<Track> tracks;
};

// The tone disc the build makes, from the same list: hz and seconds a track.
std::vector<Track> tone_disc()
{
    std::vector<Track> tracks;
    for (const tones::Piece &p : std::vector<tones::Piece> TONE_TRACKS)
        tracks.push_back({p});
    return tracks;
}

// White noise (tones::synth's): the most bytes a second there are; faint
// tones and silence the fewest.
constexpr double kNoise = -1;
Track long_track()
{
    Track t;
    for (int i = 0; i < 8; ++i) {
        t.push_back({440.0 + 110 * i, 20, 0.5});
        t.push_back({kNoise, 10, 0.7});
    }
    return t;
}

const Disc kDiscs[] = {
    {"tones", tone_disc()},
    {"loud_and_quiet",
     {{{kNoise, 3, 0.9}, {440, 3, 0.003}, {0, 2}, {kNoise, 3, 0.9}, {660, 3, 0.01}},
      {{0, 1}, {880, 4, 0.002}, {kNoise, 5, 0.95}, {330, 3, 0.5}}}},
    // Four minutes: sdl12-compat refills what it holds of the file many times.
    {"long", {long_track()}},
};

class Reading : public ::testing::TestWithParam<Disc> {};

TEST_P(Reading, NoReadOfATrackGoesFurtherPastTheOffsetThanTheLargestRead)
{
    const Disc &disc = GetParam();
    const TempDir dir;
    const std::string folder = dir / "disc";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::map<std::string, long> sizes;
    for (size_t i = 0; i < disc.tracks.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "track%02zu.mp3", i + 1);
        sizes[name] = encode(folder + "/" + name, disc.tracks[i]);
        ASSERT_GT(sizes[name], 0) << name;
    }

    // Disk audio plays much faster than real time. tbx is killed where it
    // hangs, before strace is.
    Spawn spawn;
    spawn.argv = {STRACE, "-f", "-qq", "-y", "-s", "0", "-e", "trace=%desc", "-e", "signal=none",
                  "-o", dir / "trace", "/usr/bin/timeout", "-s", "KILL", "80", TBX};
    spawn.env = disk_audio(dir, false);
    spawn.env.insert({{"LD_LIBRARY_PATH", SDL12_COMPAT_DIR}, {"SDL12COMPAT_FAKE_CDROM_PATH", folder}});
    spawn.timeout_s = 100;
    const Exit e = run_process(spawn);
    ASSERT_EQ(e.status, 0) << e.out << e.err;

    const std::map<std::string, File> tracks = follow(read_file(dir / "trace"));
    std::printf("sdl12-compat %s, disc %s:\n", compat_version().c_str(), disc.name);
    for (const auto &[name, size] : sizes) {
        SCOPED_TRACE(name);
        const auto t = tracks.find(name);
        ASSERT_NE(t, tracks.end()) << "never opened";
        const File &file = t->second;
        std::printf("  %s, %ld bytes, opened %zu times:\n", name.c_str(), size, file.openings.size());
        long largest = 0, furthest = 0;
        for (const Reads &r : file.openings) {
            std::printf("    %ld reads, the largest %ld bytes (%ld in a row), seeks back: %d\n", r.reads, r.largest,
                        r.in_a_row, r.seeks_back);
            largest = std::max(largest, r.largest);
            furthest = std::max(furthest, r.furthest);
        }
        for (const std::string &f : file.faults)
            ADD_FAILURE() << f;
        EXPECT_LE(largest, Pacing::kLargestRead);
        // It was played to its end.
        EXPECT_EQ(furthest, size);
    }
    std::fflush(stdout);
}

INSTANTIATE_TEST_SUITE_P(CompatReads, Reading, ::testing::ValuesIn(kDiscs), ByName());

} // namespace
