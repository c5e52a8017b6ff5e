#ifndef TBX_PLAY_MP3_H
#define TBX_PLAY_MP3_H

// The tracks as sdl12-compat's emulated drive reads them: MP3 files whose
// length it takes from their number of MPEG frames, counting every frame
// (up to 1.2.68), or from the Info tag in the first frame, which gives the
// frames, the encoder's delay and its padding (from 1.2.74). Each track is
// encoded as lame -V2 encodes it, so a track of a given length always comes
// out as the same number of frames with the same delay and padding; a
// stand-in of that many silent frames, behind a tag that says the same,
// holds its place, at that length on either, until it is read. A track
// being written opens with that tag too, so that it plays as it is written.
#include <cstdio>
#include <string>
#include <vector>

#include <lame/lame.h>

namespace mp3 {

// The frames of a track of cd_frames (1/75 s): lame's Info frame, and
// enough to hold the samples with the encoder's delay and padding.
long frames_for(long cd_frames);

// The frames of a whole MP3 file, or -1 where one is broken or cut short.
long count_frames(const std::string &path);

// The same count over bytes as they come, in blocks of any size.
class FrameCounter {
public:
    void add(const unsigned char *data, size_t size);
    // The frames of all that came, or -1 as count_frames says.
    long frames() const { return broken_ || skip_ != 0 || have_ != 0 ? -1 : frames_; }

private:
    long frames_ = 0;
    long skip_ = 0; // of the next frame's bytes, still to come
    unsigned char header_[4] = {};
    size_t have_ = 0; // bytes of header gathered
    bool broken_ = false;
};

// Both write a file they make: name, in the folder open as folder
// (AT_FDCWD: a path), where it must not be yet, nor be followed through a
// symbolic link.

// Writes the stand-in of a track of cd_frames; false with errno set if it
// cannot.
bool write_stand_in(int folder, const std::string &name, long cd_frames);

// One track of cd_frames, encoded as it is read: 16-bit stereo samples in,
// an MP3 file out, which opens with its tag from the first byte written.
// Every call is false, with errno set, once a write has failed.
class Encoder {
public:
    Encoder(int folder, const std::string &name, long cd_frames);
    ~Encoder();
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;

    // One CD frame: 588 stereo samples.
    bool add(const short *samples);
    // What is encoded so far, out of our buffers and into the file, for
    // another process to read; the bytes the file holds, -1 with errno set
    // once a write has failed.
    long flush();
    // The last frames and lame's own tag over ours; the file is whole.
    bool finish();

private:
    bool write(const unsigned char *data, size_t size);

    std::FILE *file_;
    int error_; // the first failure's errno
    lame_global_flags *lame_;
    long cd_frames_;
    long written_ = 0;
    std::vector<unsigned char> head_; // lame's first frame, gathered until it is whole
    bool head_out_ = false;
};

} // namespace mp3

#endif
