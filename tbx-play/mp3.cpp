#include "mp3.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

// The largest frame there is: 320 kbit/s with a padding byte.
const unsigned char kLargest[4] = {0xFF, 0xFB, 0xE2, 0x00};

// The quietest frame there is: 32 kbit/s stereo, no main data.
std::vector<unsigned char> silent_frame()
{
    std::vector<unsigned char> frame(104, 0);
    frame[0] = 0xFF;
    frame[1] = 0xFB;
    frame[2] = 0x10;
    return frame;
}

// How lame -V2 is set up, for encoding and for asking it of its delay.
void configure(lame_global_flags *lame)
{
    // Variable bit rate, its default algorithm, quality 2, with the tag
    // that tells players its length.
    lame_set_in_samplerate(lame, kRate);
    lame_set_num_channels(lame, 2);
    lame_set_VBR(lame, vbr_default);
    lame_set_VBR_quality(lame, 2);
    lame_set_bWriteVbrTag(lame, 1);
}

// The samples lame puts before a track's own.
long encoder_delay()
{
    static const long delay = [] {
        lame_global_flags *lame = lame_init();
        configure(lame);
        lame_init_params(lame);
        const long d = lame_get_encoder_delay(lame);
        lame_close(lame);
        return d;
    }();
    return delay;
}

void put32(unsigned char *at, unsigned long value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

// CRC-16 as lame checks its tag with (polynomial 0x8005, reflected).
unsigned crc16(const unsigned char *data, size_t size)
{
    unsigned crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// A first frame of size bytes, opened by header, holding the tag lame
// writes for a track of cd_frames: what sdl12-compat goes by (the frames
// after this one, the encoder's delay, its padding) as lame will have it,
// and the file's size where it is known (0 where not).
std::vector<unsigned char> tag_frame(const unsigned char *header, size_t size, long cd_frames, long file_size)
{
    std::vector<unsigned char> frame(size, 0);
    std::copy(header, header + 4, frame.begin());
    // Past the side information: 17 bytes for mono, 32 for two channels.
    unsigned char *xing = frame.data() + 4 + ((header[3] >> 6) == 3 ? 17 : 32);
    const bool vbr = file_size == 0;
    std::copy_n(vbr ? "Xing" : "Info", 4, xing);
    put32(xing + 4, 0x0F); // frames, bytes, seek table, quality
    const long frames = frames_for(cd_frames) - 1;
    put32(xing + 8, static_cast<unsigned long>(frames));
    put32(xing + 12, static_cast<unsigned long>(file_size));
    for (int i = 0; i < 100; ++i)
        xing[16 + i] = static_cast<unsigned char>(i * 256 / 100);
    unsigned char *lame = xing + 120;
    const std::string name = std::string("LAME") + get_lame_short_version();
    std::copy_n(name.begin(), std::min<size_t>(name.size(), 9), lame);
    const long delay = encoder_delay();
    const long padding = frames * kSamplesPerFrame - delay - cd_frames * kSamplesPerCdFrame;
    lame[21] = static_cast<unsigned char>(delay >> 4);
    lame[22] = static_cast<unsigned char>(((delay & 0xF) << 4) | ((padding >> 8) & 0xF));
    lame[23] = static_cast<unsigned char>(padding);
    put32(lame + 28, static_cast<unsigned long>(file_size));
    const unsigned crc = crc16(frame.data(), static_cast<size_t>(lame + 34 - frame.data()));
    lame[34] = static_cast<unsigned char>(crc >> 8);
    lame[35] = static_cast<unsigned char>(crc);
    return frame;
}

// name made in folder, as the header says; nullptr with errno set.
std::FILE *make(int folder, const std::string &name)
{
    const int fd = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    std::FILE *file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (file == nullptr && fd >= 0) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
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

bool write_stand_in(int folder, const std::string &name, long cd_frames)
{
    std::FILE *file = make(folder, name);
    if (file == nullptr)
        return false;
    // The tag in a 128 kbit/s frame, as lame has it; then silence.
    static const unsigned char kTagHeader[4] = {0xFF, 0xFB, 0x90, 0x00};
    const long tag_size = frame_length(kTagHeader);
    const std::vector<unsigned char> frame = silent_frame();
    const long silent = frames_for(cd_frames) - 1;
    const std::vector<unsigned char> tag =
        tag_frame(kTagHeader, static_cast<size_t>(tag_size), cd_frames, tag_size + silent * static_cast<long>(frame.size()));
    bool written = std::fwrite(tag.data(), 1, tag.size(), file) == tag.size();
    std::vector<unsigned char> many;
    for (int i = 0; i < 256; ++i)
        many.insert(many.end(), frame.begin(), frame.end());
    for (long left = silent; left > 0 && written; left -= 256) {
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

Encoder::Encoder(int folder, const std::string &name, long cd_frames)
    : file_(make(folder, name)), error_(file_ == nullptr ? errno : 0), lame_(lame_init()), cd_frames_(cd_frames)
{
    configure(lame_);
    if (lame_init_params(lame_) < 0 && error_ == 0)
        error_ = EINVAL;
    // sdl12-compat from 1.2.74 reads a track no further than it finds it
    // long when it opens it, and a little: from the start the file is as
    // long as it can come out, all frames at 320 kbit/s, the rest a hole
    // that tbx is never let near and that goes at the end.
    const long most = frame_length(kLargest) * frames_for(cd_frames);
    if (error_ == 0 && ftruncate(fileno(file_), most) != 0)
        error_ = errno;
}

Encoder::~Encoder()
{
    if (file_ != nullptr)
        std::fclose(file_);
    lame_close(lame_);
}

bool Encoder::write(const unsigned char *data, size_t size)
{
    // lame's first frame is a blank for its tag, which it fills in at the
    // end: ours goes in its place at once, so that the file plays as it is
    // written. Until that frame is whole, what comes is kept back.
    std::vector<unsigned char> first;
    if (!head_out_) {
        head_.insert(head_.end(), data, data + size);
        const long length = head_.size() >= 4 ? frame_length(head_.data()) : 0;
        if (head_.size() < 4 || static_cast<long>(head_.size()) < length)
            return error_ == 0;
        if (length > 0) {
            const std::vector<unsigned char> tag = tag_frame(head_.data(), static_cast<size_t>(length), cd_frames_, 0);
            std::copy(tag.begin(), tag.end(), head_.begin());
        }
        head_out_ = true;
        first.swap(head_);
        data = first.data();
        size = first.size();
    }
    if (error_ == 0 && size > 0 && std::fwrite(data, 1, size, file_) != size)
        error_ = errno;
    written_ += static_cast<long>(size);
    errno = error_;
    return error_ == 0;
}

long Encoder::flush()
{
    if (error_ == 0 && std::fflush(file_) != 0)
        error_ = errno;
    errno = error_;
    return error_ == 0 ? written_ : -1;
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
    // What never made a whole frame goes as it came.
    head_out_ = true;
    if (!write(head_.data(), head_.size()))
        return false;
    const long end = written_;
    // lame's own tag, written over ours: it knows the rest.
    const size_t tag = lame_get_lametag_frame(lame_, out, sizeof out);
    if (tag > 0 && std::fseek(file_, 0, SEEK_SET) != 0)
        error_ = errno;
    if (!write(out, tag))
        return false;
    // The file ends where its frames do.
    if (error_ == 0 && (std::fflush(file_) != 0 || ftruncate(fileno(file_), end) != 0))
        error_ = errno;
    std::FILE *file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0 && error_ == 0)
        error_ = errno;
    errno = error_;
    return error_ == 0;
}

} // namespace mp3
