// A Linux CD-ROM drive for machines that have none, preloaded (LD_PRELOAD)
// beneath the real classic libSDL so that tests can run tbx as users do.
//
// Every stat, open, realpath, dup, ioctl and close entry point is taken over
// for one device path, the first one SDL_CDROM names, when TBX_DRIVE_SCRIPT
// names a script (drive_script.h); all else goes on to libc. When that path is
// an existing file, the drive also answers ioctls on any descriptor of that
// file, known by device and inode: wine's server opens the device behind a
// drive letter and hands the program the descriptor. A play command plays in
// real time; each call is logged to TBX_DRIVE_LOG as drive_run.h says. Audio
// is served to READ CD packets as a ripper reads it.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "disc_reads.h"
#include "drive_script.h"

namespace {

template <typename F> F *next(const char *name) { return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name)); }

// libc's own function of that name and type, looked up once where it is used.
#define LIBC(type, name) ([] { static auto *const f = next<type>(name); return f; }())

using StatCall = int(const char *, struct stat *);

int real_openat(int dirfd, const char *path, int flags, mode_t mode)
{
    return LIBC(int(int, const char *, int, ...), "openat")(dirfd, path, flags, mode);
}
int real_fstat(int fd, struct stat *buf) { return LIBC(int(int, struct stat *), "fstat")(fd, buf); }

const auto started = std::chrono::steady_clock::now();

long now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
}

#define NAMED(command) {command, #command}
const std::map<unsigned long, std::string> kCommands = {
    NAMED(CDROMSUBCHNL), NAMED(CDROMREADTOCHDR), NAMED(CDROMREADTOCENTRY), NAMED(CDROMPLAYMSF),
    NAMED(CDROMSTOP),    NAMED(CDROMPAUSE),      NAMED(CDROMRESUME),       NAMED(CDROMEJECT),
    NAMED(CDROMSTART),   NAMED(CDROM_SEND_PACKET), NAMED(CDROMMULTISESSION), NAMED(CDROM_SELECT_SPEED),
};

std::string hex(unsigned long n)
{
    std::ostringstream s;
    s << "0x" << std::hex << n;
    return s.str();
}

int to_frames(int m, int s, int f) { return (m * CD_SECS + s) * CD_FRAMES + f; }

cdrom_msf0 to_msf(int frames)
{
    cdrom_msf0 a;
    a.minute = static_cast<__u8>(frames / (CD_SECS * CD_FRAMES));
    a.second = static_cast<__u8>(frames / CD_FRAMES % CD_SECS);
    a.frame = static_cast<__u8>(frames % CD_FRAMES);
    return a;
}

std::string msf_text(int frames)
{
    const cdrom_msf0 a = to_msf(frames);
    return std::to_string(a.minute) + ":" + std::to_string(a.second) + ":" + std::to_string(a.frame);
}

// Addresses go back in the form the caller asked for; absolute ones count
// from frame 150 as logical blocks.
void put_address(cdrom_addr &to, __u8 format, int frames, bool absolute)
{
    if (format == CDROM_LBA)
        to.lba = absolute ? frames - CD_MSF_OFFSET : frames;
    else
        to.msf = to_msf(frames);
}

struct Drive {
    bool emulated = false;
    std::string path;
    int log_fd = -1;
    std::set<int> fds;
    bool stand_in = false; // path is a file, known by its device and inode
    struct stat stand_in_file = {};

    DriveScript script;
    std::vector<int> offsets; // where each track starts, then the lead-out
    std::unique_ptr<DiscReads> audio; // what a read of a frame gives
    long eject_commands_seen = 0;
    long stall_calls_seen = 0;
    long fail_calls_seen = 0;
    bool ejected = false;
    bool failing = false; // it no longer answers

    bool commanded = false; // a range has been commanded since the disc went in
    long play_at = 0;
    int from = 0;
    int to = 0;
    bool completion_told = false;
    long busy_us = 0; // how long the command just answered takes, at the script's speed

    int tracks() const { return static_cast<int>(offsets.size()) - 1; }
    // Tracks are counted from 1 here, as on the disc.
    bool data(int track) const { return script.data.count(track - 1) != 0; }
    int leadout() const { return offsets.back(); }
};

void fill_frame(const Drive &d, int frame, unsigned char *out);

// A script the drive cannot follow is the test's mistake: stop loudly.
[[noreturn]] void refuse(const std::string &why)
{
    const std::string line = "ioctl drive: " + why + "\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    std::abort();
}

std::string read_text(const char *path)
{
    const int fd = real_openat(AT_FDCWD, path, O_RDONLY, 0);
    if (fd < 0)
        refuse(std::string("cannot read ") + path);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    LIBC(int(int), "close")(fd);
    return text;
}

// False when the script says there is no drive.
bool load(Drive &d, const char *path)
{
    const std::string wrong = parse_script(read_text(path), DriveKind::Ioctl, d.script);
    if (!wrong.empty())
        refuse(wrong);
    d.offsets = {CD_MSF_OFFSET};
    for (const long frames : d.script.frames)
        d.offsets.push_back(d.offsets.back() + static_cast<int>(frames));
    return !d.script.no_drive;
}

std::mutex lock;

// Never destroyed: calls may still come in while the process exits.
Drive &drive()
{
    static Drive *d = [] {
        auto *made = new Drive;
        const char *script = std::getenv("TBX_DRIVE_SCRIPT");
        const char *devices = std::getenv("SDL_CDROM");
        if (script != nullptr && devices != nullptr && load(*made, script)) {
            made->emulated = true;
            made->audio = std::make_unique<DiscReads>(made->script, [made](int frame, unsigned char *out) {
                fill_frame(*made, frame, out);
            });
            made->path = std::string(devices).substr(0, std::string(devices).find(':'));
            made->stand_in = LIBC(StatCall, "stat")(made->path.c_str(), &made->stand_in_file) == 0;
        }
        const char *log = std::getenv("TBX_DRIVE_LOG");
        if (made->emulated && log != nullptr)
            made->log_fd = real_openat(AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        // Clear of the standard descriptors, which a program may find closed
        // and fill itself.
        if (made->log_fd >= 0 && made->log_fd <= STDERR_FILENO) {
            const int moved = fcntl(made->log_fd, F_DUPFD_CLOEXEC, 10);
            LIBC(int(int), "close")(made->log_fd);
            made->log_fd = moved;
        }
        return made;
    }();
    return *d;
}

bool is_drive(const Drive &d, const char *path) { return d.emulated && path != nullptr && d.path == path; }

bool is_drive(const Drive &d, int fd)
{
    if (d.fds.count(fd) != 0)
        return true;
    struct stat st;
    return d.stand_in && real_fstat(fd, &st) == 0 && st.st_dev == d.stand_in_file.st_dev &&
           st.st_ino == d.stand_in_file.st_ino;
}

void log(const Drive &d, const std::string &call, const std::string &arguments, const std::string &result = "")
{
    const std::string line = std::to_string(now_ms()) + " " + std::to_string(lseek(STDOUT_FILENO, 0, SEEK_CUR)) + " " +
                             call + "(" + arguments + ")" + (result.empty() ? "" : " = " + result) + "\n";
    if (d.log_fd >= 0 && write(d.log_fd, line.data(), line.size()) < 0)
        std::abort();
}

bool disc_out(const Drive &d, long now)
{
    return d.script.tray_empty || d.ejected || (d.script.eject_at >= 0 && now >= d.script.eject_at);
}

int track_at(const Drive &d, int frame)
{
    int track = 1;
    while (track < d.tracks() && d.offsets[static_cast<size_t>(track)] <= frame)
        ++track;
    return track;
}

// Where the drive's head is and what the play is doing, at a given moment.
struct Play {
    __u8 status;
    int position;
};

Play play_now(Drive &d, long now)
{
    if (!d.commanded)
        return {CDROM_AUDIO_NO_STATUS, d.offsets.front()};
    const long length_ms = static_cast<long>(d.to - d.from) * 1000 / CD_FRAMES;
    const long end_ms = d.play_at + length_ms;
    const auto at = [&](long t) { return d.from + static_cast<int>((t - d.play_at) * CD_FRAMES / 1000); };
    const long pause_at = d.script.pause_at;
    if (pause_at >= d.play_at && pause_at < end_ms && now >= pause_at)
        return {CDROM_AUDIO_PAUSED, at(pause_at)};
    if (now < end_ms)
        return {CDROM_AUDIO_PLAY, at(now)};
    // Like real drives, tell of a completed play once, then of nothing.
    const __u8 status = d.completion_told ? CDROM_AUDIO_NO_STATUS : CDROM_AUDIO_COMPLETED;
    d.completion_told = true;
    return {status, std::min(d.to, d.leadout() - 1)};
}

const char *audio_status_name(__u8 s)
{
    return s == CDROM_AUDIO_PLAY        ? "PLAY"
           : s == CDROM_AUDIO_PAUSED    ? "PAUSED"
           : s == CDROM_AUDIO_COMPLETED ? "COMPLETED"
                                        : "NO_STATUS";
}

// Where a READ CD starts, counted as the tracks are, and how many frames it asks for.
int read_cd_from(const unsigned char *cmd) { return (cmd[2] << 24 | cmd[3] << 16 | cmd[4] << 8 | cmd[5]) + CD_MSF_OFFSET; }
int read_cd_count(const unsigned char *cmd) { return cmd[6] << 16 | cmd[7] << 8 | cmd[8]; }

// What the caller handed over with a command, as the log shows it.
std::string arguments(unsigned long request, const void *arg)
{
    if (request == CDROM_SEND_PACKET) {
        const unsigned char *cmd = static_cast<const cdrom_generic_command *>(arg)->cmd;
        if (cmd[0] == 0x12)
            return "INQUIRY";
        if (cmd[0] == 0x5A)
            return "MODE_SENSE," + hex(cmd[2] & 0x3F);
        if (cmd[0] == 0xBE)
            return "READ_CD," + msf_text(read_cd_from(cmd)) + "," + std::to_string(read_cd_count(cmd));
        return hex(cmd[0]);
    }
    if (request == CDROMREADTOCENTRY)
        return std::to_string(static_cast<const cdrom_tocentry *>(arg)->cdte_track);
    if (request == CDROMPLAYMSF) {
        const auto *m = static_cast<const cdrom_msf *>(arg);
        return msf_text(to_frames(m->cdmsf_min0, m->cdmsf_sec0, m->cdmsf_frame0)) + "," +
               msf_text(to_frames(m->cdmsf_min1, m->cdmsf_sec1, m->cdmsf_frame1));
    }
    return "";
}

// The tone of an audio track, 0 where the script names none.
double tone_of(const Drive &d, int track)
{
    size_t audio = 0;
    for (int t = 1; t < track; ++t)
        audio += d.data(t) ? 0 : 1;
    return audio < d.script.tones.size() ? d.script.tones[audio] : 0;
}

// One frame of a track's audio: a tone under low noise, the same samples for
// the same frame. Rippers line overlapping reads up by their content, and on
// a pure tone paranoia matched them at the wrong place while reporting success.
void fill_frame(const Drive &d, int frame, unsigned char *out)
{
    const int track = track_at(d, frame);
    const double hz = tone_of(d, track);
    const long first = static_cast<long>(frame - d.offsets[static_cast<size_t>(track - 1)]) * (CD_FRAMESIZE_RAW / 4);
    for (int i = 0; i < CD_FRAMESIZE_RAW / 4; ++i) {
        const long n = first + i;
        const double tone = 12000 * std::sin(2 * M_PI * hz * static_cast<double>(n) / 44100);
        for (int channel = 0; channel < 2; ++channel) {
            // splitmix64 of the sample's place on the disc: about -50 dB of noise.
            std::uint64_t z = (static_cast<std::uint64_t>(frame) << 32) + static_cast<std::uint64_t>(i * 2 + channel);
            z += 0x9e3779b97f4a7c15ULL;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            z ^= z >> 31;
            const int noise = static_cast<int>(z % 201) - 100;
            const auto sample = static_cast<std::int16_t>(std::lround(tone) + noise);
            out[i * 4 + channel * 2] = static_cast<unsigned char>(sample & 0xff);
            out[i * 4 + channel * 2 + 1] = static_cast<unsigned char>((sample >> 8) & 0xff);
        }
    }
}

// A failed packet command: EIO, with SCSI sense data saying why.
int sense(cdrom_generic_command *c, unsigned char key, unsigned char asc)
{
    if (c->sense != nullptr) {
        auto *s = reinterpret_cast<unsigned char *>(c->sense);
        std::memset(s, 0, 18);
        s[0] = 0x70;
        s[2] = key;
        s[7] = 10;
        s[12] = asc;
    }
    c->stat = 2; // CHECK CONDITION
    return EIO;
}

// MODE SENSE (10)'s answer for the CD capabilities page (2Ah): the
// header, then the page, which says that the drive reads CD-DA, its stream
// accurate, and how large its buffer is, in kilobytes.
size_t capabilities(const Drive &d, unsigned char *out, size_t room)
{
    unsigned char page[8 + 22] = {};
    page[1] = sizeof page - 2;           // mode data length
    unsigned char *caps = page + 8;      // no block descriptors
    caps[0] = 0x2A;
    caps[1] = 20;                        // page length
    caps[5] = 0x03;                      // CD-DA commands, stream accurate
    caps[12] = static_cast<unsigned char>(d.script.reports_kb >> 8);
    caps[13] = static_cast<unsigned char>(d.script.reports_kb);
    const size_t n = std::min(room, sizeof page);
    std::memcpy(out, page, n);
    return n;
}

// The MMC commands a ripper sends: INQUIRY, MODE SENSE and READ CD.
int packet(Drive &d, cdrom_generic_command *c)
{
    if (c->cmd[0] == 0x12) { // INQUIRY
        unsigned char id[36] = {5, 0x80, 5, 2, 31};
        std::memcpy(id + 8, "TBX     EMULATED CD-ROM 1.0 ", 28); // vendor, product, revision
        std::memcpy(c->buffer, id, std::min<size_t>(c->buflen, sizeof id));
        return 0;
    }
    if (c->cmd[0] == 0x5A) { // MODE SENSE (10)
        if ((c->cmd[2] & 0x3F) != 0x2A)
            return sense(c, 5, 0x24); // invalid field: no other page here
        const size_t asked = static_cast<size_t>(c->cmd[7] << 8 | c->cmd[8]);
        capabilities(d, c->buffer, std::min<size_t>(asked, c->buflen));
        return 0;
    }
    if (c->cmd[0] != 0xBE) // READ CD
        return sense(c, 5, 0x20); // invalid command
    const int from = read_cd_from(c->cmd);
    const int count = read_cd_count(c->cmd);
    if (from < d.offsets.front() || count < 0 || from + count > d.leadout() ||
        static_cast<long>(count) * CD_FRAMESIZE_RAW > c->buflen)
        return sense(c, 5, 0x21); // out of range
    for (int f = from; f < from + count; ++f) {
        if (d.data(track_at(d, f)))
            return sense(c, 5, 0x64); // not an audio sector
        if (d.script.unreadable.count(f))
            return sense(c, 3, 0x11); // unrecovered read error
    }
    // What the buffer answers takes no time; the disc, the script's speed.
    for (int f = from; f < from + count; ++f) {
        const bool from_disc = d.audio->read(f, c->buffer + static_cast<long>(f - from) * CD_FRAMESIZE_RAW);
        if (from_disc && !d.script.speed.empty()) {
            const size_t track = static_cast<size_t>(track_at(d, f) - 1);
            d.busy_us += std::lround(1e6 / (CD_FRAMES * d.script.speed[std::min(track, d.script.speed.size() - 1)]));
        }
    }
    if (from <= d.script.stall_at && d.script.stall_at < from + count) {
        d.busy_us += d.script.stall_ms * 1000;
        d.script.stall_at = -1;
    }
    c->stat = 0;
    return 0;
}

// Answers one command: 0, or an errno value. What the drive answered goes
// into reply, for the log.
int answer(Drive &d, unsigned long request, void *arg, std::string &reply)
{
    const long now = now_ms();
    if (disc_out(d, now)) {
        d.commanded = false;
        return ENOMEDIUM;
    }
    if (d.failing) {
        if (request == CDROM_SEND_PACKET)
            sense(static_cast<cdrom_generic_command *>(arg), 4, 0x44); // hardware error
        return EIO;
    }
    switch (request) {
    case CDROMSUBCHNL: {
        auto *sc = static_cast<cdrom_subchnl *>(arg);
        const Play p = play_now(d, now);
        const int track = track_at(d, p.position);
        const int relative = p.position - d.offsets[static_cast<size_t>(track - 1)];
        sc->cdsc_audiostatus = p.status;
        sc->cdsc_adr = 1;
        sc->cdsc_ctrl = d.data(track) ? CDROM_DATA_TRACK : 0;
        sc->cdsc_trk = static_cast<__u8>(track);
        sc->cdsc_ind = 1;
        put_address(sc->cdsc_absaddr, sc->cdsc_format, p.position, true);
        put_address(sc->cdsc_reladdr, sc->cdsc_format, relative, false);
        reply = std::string(audio_status_name(p.status)) + " " + msf_text(p.position);
        return 0;
    }
    case CDROMREADTOCHDR: {
        auto *h = static_cast<cdrom_tochdr *>(arg);
        h->cdth_trk0 = 1;
        h->cdth_trk1 = static_cast<__u8>(d.tracks());
        reply = "1 " + std::to_string(d.tracks());
        return 0;
    }
    case CDROMREADTOCENTRY: {
        auto *e = static_cast<cdrom_tocentry *>(arg);
        const int track = e->cdte_track == CDROM_LEADOUT ? d.tracks() + 1 : e->cdte_track;
        if (track < 1 || track > d.tracks() + 1)
            return EINVAL;
        const int offset = d.offsets[static_cast<size_t>(track - 1)];
        e->cdte_adr = 1;
        e->cdte_ctrl = d.data(track) ? CDROM_DATA_TRACK : 0;
        e->cdte_datamode = 0;
        put_address(e->cdte_addr, e->cdte_format, offset, true);
        reply = msf_text(offset) + (d.data(track) ? " data" : " audio");
        return 0;
    }
    case CDROMPLAYMSF: {
        const auto *m = static_cast<const cdrom_msf *>(arg);
        const int from = to_frames(m->cdmsf_min0, m->cdmsf_sec0, m->cdmsf_frame0);
        const int to = to_frames(m->cdmsf_min1, m->cdmsf_sec1, m->cdmsf_frame1);
        if (from < d.offsets.front() || from >= to || to > d.leadout())
            return EINVAL;
        // A drive plays no data as sound.
        if (d.data(track_at(d, from)))
            return EIO;
        d.commanded = true;
        d.completion_told = false;
        d.play_at = now;
        d.from = from;
        d.to = to;
        return 0;
    }
    case CDROM_SEND_PACKET:
        return packet(d, static_cast<cdrom_generic_command *>(arg));
    case CDROMMULTISESSION: {
        auto *m = static_cast<cdrom_multisession *>(arg);
        m->xa_flag = 0; // one session
        put_address(m->addr, m->addr_format, 0, false);
        return 0;
    }
    case CDROMSTART: // spins the disc up; wine sends it before every play
    case CDROM_SELECT_SPEED:
        return 0;
    default:
        return ENOTTY;
    }
}

void as_block_device(struct stat *buf)
{
    buf->st_mode = S_IFBLK | 0660;
    buf->st_rdev = makedev(11, 0); // where Linux puts the first SCSI CD-ROM
}

// The drive as stat sees it, or what libc says of any other path. The record
// is a struct stat, whichever name the entry point gives it.
int stat_path(const char *path, void *record, const char *call, StatCall *real)
{
    auto *buf = static_cast<struct stat *>(record);
    const std::lock_guard<std::mutex> hold(lock);
    Drive &d = drive();
    if (!is_drive(d, path))
        return real(path, buf);
    std::memset(buf, 0, sizeof *buf);
    as_block_device(buf);
    log(d, call, path, "block device");
    return 0;
}

int open_path(int dirfd, const char *path, int flags, mode_t mode)
{
    const std::lock_guard<std::mutex> hold(lock);
    Drive &d = drive();
    if (!is_drive(d, path))
        return real_openat(dirfd, path, flags, mode);
    if (d.script.no_permission) {
        log(d, "open", path, "EACCES");
        errno = EACCES;
        return -1;
    }
    // A real descriptor, so that anything else done with it stays harmless.
    const int fd = real_openat(AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0)
        d.fds.insert(fd);
    log(d, "open", path, std::to_string(fd));
    return fd;
}

// What libc says of a descriptor; the drive's is a block device.
int fstat_fd(int fd, struct stat *buf)
{
    const int result = real_fstat(fd, buf);
    const std::lock_guard<std::mutex> hold(lock);
    Drive &d = drive();
    if (result == 0 && d.fds.count(fd) != 0)
        as_block_device(buf);
    return result;
}

mode_t mode_argument(int flags, va_list args)
{
    const bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    return creates ? va_arg(args, mode_t) : 0;
}

} // namespace

// On 64-bit Linux the 64 variants, and the old entry points that tools built
// against an older glibc call, fill the same record as stat. All are taken
// over, so that a tool rebuilt against another family still finds the drive;
// each goes on to libc's stat or lstat, and is logged under its own name. The
// 64 variants of open and fstat are the same functions under a second name.
static_assert(sizeof(struct stat) == sizeof(struct stat64), "stat64 is stat here");
#define PATH_STAT(call, record, real)                                                                                  \
    int call(const char *path, struct record *buf) noexcept { return stat_path(path, buf, #call, LIBC(StatCall, real)); }
#define VERSIONED_STAT(call, real)                                                                                     \
    int call(int, const char *path, struct stat *buf) { return stat_path(path, buf, #call, LIBC(StatCall, real)); }

extern "C" {

PATH_STAT(stat, stat, "stat")
PATH_STAT(lstat, stat, "lstat")
PATH_STAT(stat64, stat64, "stat")
PATH_STAT(lstat64, stat64, "lstat")
VERSIONED_STAT(__xstat, "stat")
VERSIONED_STAT(__lxstat, "lstat")
VERSIONED_STAT(__xstat64, "stat")
VERSIONED_STAT(__lxstat64, "lstat")

int fstat(int fd, struct stat *buf) noexcept { return fstat_fd(fd, buf); }
int fstat64(int, struct stat64 *) noexcept __attribute__((alias("fstat")));
int __fxstat(int, int fd, struct stat *buf) { return fstat_fd(fd, buf); }
int __fxstat64(int, int, struct stat *) __attribute__((alias("__fxstat")));

// glibc's own realpath looks at the file system past stat: the drive's path
// is its own real path.
char *realpath(const char *path, char *resolved) noexcept
{
    {
        const std::lock_guard<std::mutex> hold(lock);
        if (!is_drive(drive(), path))
            return LIBC(char *(const char *, char *), "realpath")(path, resolved);
    }
    return resolved == nullptr ? strdup(path) : std::strcpy(resolved, path);
}

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_path(AT_FDCWD, path, flags, mode);
}
int openat(int dirfd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_path(dirfd, path, flags, mode);
}
int open64(const char *, int, ...) __attribute__((alias("open")));
int openat64(int, const char *, int, ...) __attribute__((alias("openat")));

// A copy of the drive's descriptor is the drive too.
int dup(int fd) noexcept
{
    const int copy = LIBC(int(int), "dup")(fd);
    const std::lock_guard<std::mutex> hold(lock);
    Drive &d = drive();
    if (copy >= 0 && d.fds.count(fd) != 0) {
        d.fds.insert(copy);
        log(d, "dup", std::to_string(fd), std::to_string(copy));
    }
    return copy;
}

int close(int fd)
{
    {
        const std::lock_guard<std::mutex> hold(lock);
        Drive &d = drive();
        if (d.fds.erase(fd) != 0)
            log(d, "close", std::to_string(fd));
    }
    return LIBC(int(int), "close")(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);

    int error = 0;
    long busy_us = 0;
    {
        const std::lock_guard<std::mutex> hold(lock);
        Drive &d = drive();
        if (!is_drive(d, fd))
            return LIBC(int(int, unsigned long, ...), "ioctl")(fd, request, arg);

        const auto known = kCommands.find(request);
        const std::string name = known != kCommands.end() ? known->second : hex(request);
        std::string reply = "0";
        error = answer(d, request, arg, reply);
        log(d, name, arguments(request, arg), error == 0 ? reply : strerrorname_np(error));
        if (name == d.script.eject_after_call && ++d.eject_commands_seen == d.script.eject_after_count)
            d.ejected = true;
        if (name == d.script.fail_after_call && ++d.fail_calls_seen == d.script.fail_after_count)
            d.failing = true;
        if (name == d.script.stall_call && ++d.stall_calls_seen == d.script.stall_call_count)
            d.busy_us += d.script.stall_call_ms * 1000;
        busy_us = std::exchange(d.busy_us, 0);
    }
    // A slow drive takes its time without holding up the caller's other threads.
    std::this_thread::sleep_for(std::chrono::microseconds(busy_us));
    if (error == 0)
        return 0;
    errno = error;
    return -1;
}

} // extern "C"
