#include "mp3.h"

#include <cerrno>
#include <fstream>
#include <vector>

namespace mp3 {

namespace {

constexpr long kSamplesPerFrame = 1152; // MPEG-1 Layer III
constexpr long kSamplesPerCdFrame = 588;
constexpr long kRate = 44100;

// The length of the MPEG-1 Layer III frame at 44.1 kHz this header opens, 0
// where it opens none.
long frame_length(const unsigned char *h)
{
    static const int kKbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    if (h[0] != 0xFF || (h[1] & 0xFE) != 0xFA || (h[2] & 0x0C) != 0 || kKbps[h[2] >> 4] == 0)
        return 0;
    return 144000L * kKbps[h[2] >> 4] / kRate + ((h[2] >> 1) & 1);
}

// The quietest frame there is: 32 kbit/s stereo, no main data.
std::vector<unsigned char> silent_frame()
{
    std::vector<unsigned char> frame(104, 0);
    frame[0] = 0xFF;
    frame[1] = 0xFB;
    frame[2] = 0x10;
    return frame;
}

} // namespace

long frames_for(long cd_frames)
{
    const long samples = cd_frames * kSamplesPerCdFrame;
    return (samples + kSamplesPerFrame - 1) / kSamplesPerFrame + 2;
}

long count_frames(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return -1;
    std::vector<char> block(1 << 16);
    FrameCounter counter;
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
        counter.add(reinterpret_cast<const unsigned char *>(block.data()), static_cast<size_t>(in.gcount()));
    return counter.frames();
}

void FrameCounter::add(const unsigned char *data, size_t size)
{
    // A frame that runs past a block is skipped into the next.
    for (size_t at = 0; at < size && !broken_;) {
        if (skip_ > 0) {
            const size_t n = std::min(static_cast<size_t>(skip_), size - at);
            skip_ -= static_cast<long>(n);
            at += n;
            continue;
        }
        header_[have_++] = data[at++];
        if (have_ < sizeof header_)
            continue;
        const long length = frame_length(header_);
        if (length == 0) {
            broken_ = true;
            return;
        }
        ++frames_;
        skip_ = length - static_cast<long>(sizeof header_);
        have_ = 0;
    }
}

bool write_stand_in(const std::string &path, long frames)
{
    std::FILE *file = std::fopen(path.c_str(), "wbe");
    if (file == nullptr)
        return false;
    const std::vector<unsigned char> frame = silent_frame();
    std::vector<unsigned char> many;
    for (int i = 0; i < 256; ++i)
        many.insert(many.end(), frame.begin(), frame.end());
    bool written = true;
    for (long left = frames; left > 0 && written; left -= 256) {
        const size_t size = static_cast<size_t>(std::min(left, 256L)) * frame.size();
        written = std::fwrite(many.data(), 1, size, file) == size;
    }
    if (!written) {
        const int error = errno;
        std::fclose(file);
        errno = error;
        return false;
    }
    return std::fclose(file) == 0;
}

Encoder::Encoder(const std::string &path) : lame_(lame_init()), file_(std::fopen(path.c_str(), "wbe"))
{
    if (file_ == nullptr)
        error_ = errno;
    // lame -V2: variable bit rate, its default algorithm, quality 2, with
    // the Info frame that tells players its length.
    lame_set_in_samplerate(lame_, kRate);
    lame_set_num_channels(lame_, 2);
    lame_set_VBR(lame_, vbr_default);
    lame_set_VBR_quality(lame_, 2);
    lame_set_bWriteVbrTag(lame_, 1);
    if (lame_init_params(lame_) < 0 && error_ == 0)
        error_ = EINVAL;
}

Encoder::~Encoder()
{
    if (file_ != nullptr)
        std::fclose(file_);
    lame_close(lame_);
}

bool Encoder::write(const unsigned char *data, size_t size)
{
    if (error_ == 0 && size > 0 && std::fwrite(data, 1, size, file_) != size)
        error_ = errno;
    errno = error_;
    return error_ == 0;
}

bool Encoder::add(const short *samples)
{
    if (error_ != 0) {
        errno = error_;
        return false;
    }
    // lame's bound for one call: 1.25 times the samples, and 7200 bytes.
    unsigned char out[kSamplesPerCdFrame * 5 / 4 + 7200];
    const int n = lame_encode_buffer_interleaved(lame_, const_cast<short *>(samples), kSamplesPerCdFrame, out,
                                                 sizeof out);
    if (n < 0)
        error_ = EIO;
    return write(out, n < 0 ? 0 : static_cast<size_t>(n));
}

bool Encoder::finish()
{
    unsigned char out[7200];
    const int n = error_ == 0 ? lame_encode_flush(lame_, out, sizeof out) : 0;
    if (n < 0)
        error_ = EIO;
    if (!write(out, n < 0 ? 0 : static_cast<size_t>(n)))
        return false;
    // The Info frame, written over the blank one that opens the file.
    const size_t tag = lame_get_lametag_frame(lame_, out, sizeof out);
    if (tag > 0 && std::fseek(file_, 0, SEEK_SET) != 0)
        error_ = errno;
    if (!write(out, tag))
        return false;
    std::FILE *file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0)
        error_ = errno;
    errno = error_;
    return error_ == 0;
}

} // namespace mp3
