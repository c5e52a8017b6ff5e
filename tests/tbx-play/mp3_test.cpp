// tbx-play's tracks as sdl12-compat counts them: a track's file, encoded as
// it is read, has exactly the MPEG frames its stand-in has, whatever its
// length, and both tags say the same frames, delay and padding, from the
// first byte written on; and it decodes to the track's samples, not one
// more or less.
#include <fcntl.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mp3.h"
#include "process.h"

namespace {

constexpr int kSamples = 588; // stereo samples in a CD frame

// What a first frame's Xing or Info tag says of the track, as sdl12-compat
// from 1.2.74 reads it: frames after it, lame's delay and padding, in
// samples; all -1 where it has none.
struct Tag {
    long frames = -1, delay = -1, padding = -1;
    bool operator==(const Tag &t) const { return frames == t.frames && delay == t.delay && padding == t.padding; }
};

std::ostream &operator<<(std::ostream &out, const Tag &t)
{
    return out << t.frames << " frames, delay " << t.delay << ", padding " << t.padding;
}

Tag tag_of(const std::string &file)
{
    const std::string head = file.substr(0, 400);
    size_t at = head.find("Xing");
    if (at == std::string::npos)
        at = head.find("Info");
    if (at == std::string::npos || at + 120 + 24 > head.size())
        return {};
    const auto byte = [&](size_t i) { return static_cast<long>(static_cast<unsigned char>(head[i])); };
    Tag t;
    t.frames = byte(at + 8) << 24 | byte(at + 9) << 16 | byte(at + 10) << 8 | byte(at + 11);
    const size_t lame = at + 120;
    t.delay = byte(lame + 21) << 4 | byte(lame + 22) >> 4;
    t.padding = (byte(lame + 22) & 0xF) << 8 | byte(lame + 23);
    return t;
}

// A track of noise, frames (1/75 s) long, encoded as tbx-play encodes one;
// halfway, what a reader of the file found there.
bool encode(const std::string &path, long frames, std::string *halfway = nullptr)
{
    std::mt19937 noise(static_cast<unsigned>(frames));
    mp3::Encoder encoder(AT_FDCWD, path, frames);
    std::vector<short> frame(2 * kSamples);
    for (long f = 0; f < frames; ++f) {
        for (short &s : frame)
            s = static_cast<short>(noise() % 20001) - 10000;
        if (!encoder.add(frame.data()))
            return false;
        if (halfway != nullptr && f == frames / 2) {
            if (encoder.flush() < 0)
                return false;
            *halfway = read_file(path);
        }
    }
    return encoder.finish();
}

// Stereo samples in an mp3 as lame decodes it, from its Info frame.
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

// From a single frame to an hour, and around each count of MPEG frames.
const long kLengths[] = {1, 2, 74, 75, 76, 97, 98, 99, 375, 4499, 13875, 270000};

class Track : public ::testing::TestWithParam<long> {};

TEST_P(Track, HasItsStandInsFramesAndDecodesToItsSamples)
{
    const long frames = GetParam();
    const TempDir dir;
    ASSERT_TRUE(mp3::write_stand_in(AT_FDCWD, dir / "stand-in.mp3", frames));
    EXPECT_EQ(mp3::count_frames(dir / "stand-in.mp3"), mp3::frames_for(frames));
    if (frames > 20000)
        return; // an hour of encoding proves nothing more
    std::string halfway;
    ASSERT_TRUE(encode(dir / "track.mp3", frames, &halfway));
    EXPECT_EQ(mp3::count_frames(dir / "track.mp3"), mp3::frames_for(frames));
    EXPECT_EQ(decoded_samples(dir / "track.mp3", dir), frames * kSamples);

    // The tag that gives the length from 1.2.74 on: the same in all three.
    const Tag tag = tag_of(read_file(dir / "track.mp3"));
    EXPECT_EQ(tag.frames * 1152 - tag.delay - tag.padding, frames * kSamples) << tag;
    EXPECT_EQ(tag_of(read_file(dir / "stand-in.mp3")), tag);
    EXPECT_EQ(tag_of(halfway), tag) << "the file as it is written";
    // lame's own decoder needs two frames after the tag to begin.
    if (frames > 1) {
        EXPECT_EQ(decoded_samples(dir / "stand-in.mp3", dir), frames * kSamples) << "a stand-in is silence as long";
    }
}

INSTANTIATE_TEST_SUITE_P(Mp3, Track, ::testing::ValuesIn(kLengths));

TEST(Mp3, ACutOrForeignFileHasNoLength)
{
    const TempDir dir;
    ASSERT_TRUE(encode(dir / "track.mp3", 375));
    const std::string whole = read_file(dir / "track.mp3");
    std::ofstream(dir / "cut.mp3", std::ios::binary) << whole.substr(0, whole.size() - 100);
    std::ofstream(dir / "text.mp3") << "not an mp3\n";
    EXPECT_EQ(mp3::count_frames(dir / "cut.mp3"), -1);
    EXPECT_EQ(mp3::count_frames(dir / "text.mp3"), -1);
    EXPECT_EQ(mp3::count_frames(dir / "missing.mp3"), -1);
}

} // namespace
