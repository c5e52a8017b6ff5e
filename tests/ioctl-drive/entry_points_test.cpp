// Every libc entry point a program may reach the drive through, taken from
// the emulated drive's library: each must be there, see the drive, and pass
// any other path on to libc. Then READ CD on the drive.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_names.h"

namespace {

const char *const kDrive = "/dev/tbx-cd";

// The library as a preload would put it first: its own definitions, each
// passing other paths on to the next one, libc's.
void *library()
{
    static void *handle = [] {
        setenv("SDL_CDROM", kDrive, 1);
        setenv("TBX_DRIVE_SCRIPT", SCRIPT, 1);
        return dlopen(IOCTL_DRIVE, RTLD_NOW | RTLD_LOCAL);
    }();
    return handle;
}

template <typename F> F *entry(const char *name)
{
    auto *f = reinterpret_cast<F *>(dlsym(library(), name));
    if (f == nullptr)
        ADD_FAILURE() << name << " is not there";
    return f;
}

int drive_ioctl(int fd, unsigned long request, void *arg)
{
    return entry<int(int, unsigned long, ...)>("ioctl")(fd, request, arg);
}

int open_drive() { return entry<int(const char *, int, ...)>("open")(kDrive, O_RDONLY | O_NONBLOCK); }
void close_drive(int fd) { entry<int(int)>("close")(fd); }

bool is_drive(const struct stat &st) { return S_ISBLK(st.st_mode) && major(st.st_rdev) == 11; }

using PathStat = int(const char *, struct stat *);
using VersionedStat = int(int, const char *, struct stat *);

TEST(EntryPoints, StatsSeeTheDrive)
{
    for (const char *name : {"stat", "lstat", "stat64", "lstat64", "__xstat", "__lxstat", "__xstat64", "__lxstat64"}) {
        ASSERT_NE(entry<PathStat>(name), nullptr);
        // The old entry points take the record's version first.
        const auto call = [&](const char *path, struct stat *st) {
            return name[0] == '_' ? entry<VersionedStat>(name)(1, path, st) : entry<PathStat>(name)(path, st);
        };
        struct stat st = {};
        EXPECT_EQ(call(kDrive, &st), 0) << name;
        EXPECT_TRUE(is_drive(st)) << name;
        EXPECT_EQ(call("/", &st), 0) << name;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << name << " on another path";
    }
}

// Opened by each entry point, the drive answers a table read and fstat
// calls it a block device; so does a copy of its descriptor.
TEST(EntryPoints, OpensGiveTheDrive)
{
    const int fds[] = {
        entry<int(const char *, int, ...)>("open")(kDrive, O_RDONLY | O_NONBLOCK),
        entry<int(const char *, int, ...)>("open64")(kDrive, O_RDONLY | O_NONBLOCK),
        entry<int(int, const char *, int, ...)>("openat")(AT_FDCWD, kDrive, O_RDONLY | O_NONBLOCK),
        entry<int(int, const char *, int, ...)>("openat64")(AT_FDCWD, kDrive, O_RDONLY | O_NONBLOCK),
    };
    for (const int opened : fds) {
        ASSERT_GE(opened, 0);
        const int copy = entry<int(int)>("dup")(opened);
        for (const int fd : {opened, copy}) {
            cdrom_tochdr header = {};
            EXPECT_EQ(drive_ioctl(fd, CDROMREADTOCHDR, &header), 0);
            EXPECT_EQ(header.cdth_trk1, 3);
            for (const char *name : {"fstat", "fstat64", "__fxstat", "__fxstat64"}) {
                struct stat st = {};
                EXPECT_EQ(name[0] == '_' ? entry<int(int, int, struct stat *)>(name)(1, fd, &st)
                                         : entry<int(int, struct stat *)>(name)(fd, &st),
                          0) << name;
                EXPECT_TRUE(is_drive(st)) << name;
            }
            close_drive(fd);
        }
    }
}

TEST(EntryPoints, TheDriveIsItsOwnRealPath)
{
    char resolved[PATH_MAX];
    auto *f = entry<char *(const char *, char *)>("realpath");
    ASSERT_NE(f, nullptr);
    ASSERT_NE(f(kDrive, resolved), nullptr);
    EXPECT_STREQ(resolved, kDrive);
    char *made = f(kDrive, nullptr);
    ASSERT_NE(made, nullptr);
    EXPECT_STREQ(made, kDrive);
    std::free(made);
    ASSERT_NE(f("/dev/../dev/null", resolved), nullptr);
    EXPECT_STREQ(resolved, "/dev/null");
}

struct Read {
    const char *name;
    int from; // counted as the tracks are: track 1 starts at frame 150
    int count;
    int sense_key; // 0: read
};

// The script: tracks of 150, 150 and 75 frames, the last one data, tones of
// 441 and 882 Hz, frame 420 unreadable.
const Read kReads[] = {
    {"first_frames", 150, 2, 0},
    {"across_two_tracks", 290, 20, 0},
    {"last_audio_frame", 449, 1, 0},
    {"unreadable_frame", 410, 25, 3},
    {"data_track", 450, 1, 5},
    {"past_the_lead_out", 520, 10, 5},
};

class ReadCd : public ::testing::TestWithParam<Read> {};

// READ CD as a ripper sends it; the sense key, or 0 when it was read.
int read_cd(int fd, int from, int count, std::vector<unsigned char> &into)
{
    into.assign(static_cast<size_t>(count) * CD_FRAMESIZE_RAW, 0);
    unsigned char sense[64] = {};
    cdrom_generic_command c = {};
    const int lba = from - CD_MSF_OFFSET;
    const unsigned char cmd[12] = {0xBE, 0, static_cast<unsigned char>(lba >> 24), static_cast<unsigned char>(lba >> 16),
                                   static_cast<unsigned char>(lba >> 8), static_cast<unsigned char>(lba),
                                   static_cast<unsigned char>(count >> 16), static_cast<unsigned char>(count >> 8),
                                   static_cast<unsigned char>(count), 0x10};
    std::memcpy(c.cmd, cmd, sizeof cmd);
    c.buffer = into.data();
    c.buflen = static_cast<unsigned>(into.size());
    c.sense = reinterpret_cast<request_sense *>(sense);
    c.data_direction = CGC_DATA_READ;
    if (drive_ioctl(fd, CDROM_SEND_PACKET, &c) == 0)
        return 0;
    EXPECT_EQ(errno, EIO);
    return sense[2] & 0xf;
}

int16_t sample(const std::vector<unsigned char> &audio, size_t n) // left channel
{
    return static_cast<int16_t>(audio[n * 4] | audio[n * 4 + 1] << 8);
}

TEST_P(ReadCd, ServesAudioAndFailsWhereTheScriptSays)
{
    const Read &r = GetParam();
    const int fd = open_drive();
    ASSERT_GE(fd, 0);
    std::vector<unsigned char> first, again;
    EXPECT_EQ(read_cd(fd, r.from, r.count, first), r.sense_key);
    if (r.sense_key == 0) {
        EXPECT_EQ(read_cd(fd, r.from, r.count, again), 0);
        EXPECT_EQ(first, again) << "the same frames read twice differ";
        // A tone under low noise: a period apart (100 or 50 samples),
        // samples are close but not all the same. Track 2 starts its tone
        // afresh at frame 300.
        const long track_2 = (300L - r.from) * 588;
        int differ = 0;
        for (size_t n = 0; n + 100 < first.size() / 4; ++n) {
            if (static_cast<long>(n) < track_2 && static_cast<long>(n) + 100 >= track_2)
                continue;
            EXPECT_NEAR(sample(first, n), sample(first, n + 100), 400) << "at sample " << n;
            differ += sample(first, n) != sample(first, n + 100);
        }
        EXPECT_GT(differ, 0) << "a pure tone";
    }
    close_drive(fd);
}

INSTANTIATE_TEST_SUITE_P(EmulatedDrive, ReadCd, ::testing::ValuesIn(kReads), ByName());

// MODE SENSE (10) of the CD capabilities page, as libcdio sends it: the
// page after the header, with the buffer the script reports (2048 KB) in
// its bytes 12 and 13, and the stream said to be accurate.
TEST(EntryPoints, ModeSenseGivesTheBufferReported)
{
    const int fd = open_drive();
    ASSERT_GE(fd, 0);
    unsigned char answer[64] = {}, sense[64] = {};
    cdrom_generic_command c = {};
    c.cmd[0] = 0x5A;
    c.cmd[2] = 0x2A;
    c.cmd[8] = sizeof answer;
    c.buffer = answer;
    c.buflen = sizeof answer;
    c.sense = reinterpret_cast<request_sense *>(sense);
    c.data_direction = CGC_DATA_READ;
    ASSERT_EQ(drive_ioctl(fd, CDROM_SEND_PACKET, &c), 0);
    const unsigned char *page = answer + 8 + (answer[6] << 8 | answer[7]);
    EXPECT_EQ(page[0] & 0x3F, 0x2A);
    EXPECT_GE(page[1], 12);
    EXPECT_EQ(page[12] << 8 | page[13], 2048);
    EXPECT_NE(page[5] & 0x02, 0) << "the stream accurate";
    c.cmd[2] = 0x01; // another page: refused
    EXPECT_NE(drive_ioctl(fd, CDROM_SEND_PACKET, &c), 0);
    close_drive(fd);
}

} // namespace

