// A Linux CD-ROM drive for machines that have none, preloaded (LD_PRELOAD)
// beneath the real classic libSDL so that tests can run tbx as users do.
//
// Classic SDL reaches a drive only through stat, open, ioctl and close, so
// those four are taken over for one device path: the first one SDL_CDROM
// names, and only when TBX_CDROM_LAYOUT names a layout. Every other call goes
// on to libc. When that path is an existing file, the stand-in for a drive
// that someone else opens (wine's server opens the device behind a drive
// letter and hands the program the descriptor), the drive also answers the
// ioctls sent to any descriptor of that file, known by its device and inode.
// The layout, one directive a line ('#' starts a comment):
//
//   tracks F F ...       the disc: one length in frames per track; track 1 starts at frame 150
//   data N ...           these tracks (numbered from 1, as on the disc) are data
//   empty                no disc in the tray
//   pause at MS          the drive pauses at MS if it is playing then
//   eject at MS          the disc leaves the tray at MS
//   eject after CMD N    the disc leaves right after the drive has answered its Nth CMD,
//                        e.g. "eject after CDROMREADTOCHDR 5"
//
// Times are milliseconds since the program started, on the monotonic clock; a
// play command plays its range in real time, 75 frames a second. Every call
// for the drive is appended to the file named by TBX_CDROM_LOG as
// "<ms> <call> <arguments> = <answer>".
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
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

template <typename F> F *next(const char *name) { return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name)); }

int real_open(const char *path, int flags, mode_t mode)
{
    static auto *f = next<int(const char *, int, ...)>("open");
    return f(path, flags, mode);
}

int real_close(int fd)
{
    static auto *f = next<int(int)>("close");
    return f(fd);
}

int real_stat(const char *path, struct stat *buf)
{
    static auto *f = next<int(const char *, struct stat *)>("stat");
    return f(path, buf);
}

int real_fstat(int fd, struct stat *buf)
{
    static auto *f = next<int(int, struct stat *)>("fstat");
    return f(fd, buf);
}

const auto started = std::chrono::steady_clock::now();

long now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
}

const std::map<unsigned long, std::string> kCommands = {
    {CDROMSUBCHNL, "CDROMSUBCHNL"},   {CDROMREADTOCHDR, "CDROMREADTOCHDR"}, {CDROMREADTOCENTRY, "CDROMREADTOCENTRY"},
    {CDROMPLAYMSF, "CDROMPLAYMSF"},   {CDROMSTOP, "CDROMSTOP"},             {CDROMPAUSE, "CDROMPAUSE"},
    {CDROMRESUME, "CDROMRESUME"},     {CDROMEJECT, "CDROMEJECT"},           {CDROMSTART, "CDROMSTART"},
};

std::string command_name(unsigned long request)
{
    const auto it = kCommands.find(request);
    if (it != kCommands.end())
        return it->second;
    std::ostringstream s;
    s << "0x" << std::hex << request;
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
    bool stand_in = false; // path is a file, known by these:
    dev_t stand_in_dev = 0;
    ino_t stand_in_ino = 0;

    std::vector<int> offsets; // where each track starts, then the lead-out
    std::set<int> data;
    bool empty = false;
    long pause_at = -1;
    long eject_at = -1;
    std::string eject_command;
    int eject_count = 0;
    int eject_commands_seen = 0;
    bool ejected = false;

    bool commanded = false; // a range has been commanded since the disc went in
    long play_at = 0;
    int from = 0;
    int to = 0;
    bool completion_told = false;

    int tracks() const { return static_cast<int>(offsets.size()) - 1; }
    int leadout() const { return offsets.back(); }
};

// A layout the drive cannot follow is the test's mistake: stop loudly.
[[noreturn]] void refuse(const std::string &why)
{
    const std::string line = "ioctl drive: " + why + "\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    std::abort();
}

std::string read_text(const char *path)
{
    const int fd = real_open(path, O_RDONLY, 0);
    if (fd < 0)
        refuse(std::string("cannot read ") + path);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    real_close(fd);
    return text;
}

void load(Drive &d, const char *layout)
{
    d.offsets = {CD_MSF_OFFSET};
    std::istringstream lines(read_text(layout));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string key, word;
        words >> key;
        if (key == "tracks") {
            for (int n; words >> n;)
                d.offsets.push_back(d.offsets.back() + n);
        } else if (key == "data") {
            for (int n; words >> n;)
                d.data.insert(n);
        } else if (key == "empty") {
            d.empty = true;
        } else if (key == "pause") {
            words >> word >> d.pause_at;
        } else if (key == "eject") {
            words >> word;
            if (word == "at")
                words >> d.eject_at;
            else
                words >> d.eject_command >> d.eject_count;
        } else if (!key.empty() && key[0] != '#') {
            refuse("unknown directive: " + line);
        }
    }
}

std::mutex lock;

// Never destroyed: calls may still come in while the process exits.
Drive &drive()
{
    static Drive *d = [] {
        auto *made = new Drive;
        const char *layout = std::getenv("TBX_CDROM_LAYOUT");
        const char *devices = std::getenv("SDL_CDROM");
        if (layout != nullptr && devices != nullptr) {
            made->emulated = true;
            made->path = std::string(devices).substr(0, std::string(devices).find(':'));
            load(*made, layout);
            struct stat st;
            if (real_stat(made->path.c_str(), &st) == 0) {
                made->stand_in = true;
                made->stand_in_dev = st.st_dev;
                made->stand_in_ino = st.st_ino;
            }
        }
        const char *log = std::getenv("TBX_CDROM_LOG");
        if (made->emulated && log != nullptr)
            made->log_fd = real_open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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
    return d.stand_in && real_fstat(fd, &st) == 0 && st.st_dev == d.stand_in_dev && st.st_ino == d.stand_in_ino;
}

void log(const Drive &d, const std::string &what)
{
    const std::string line = std::to_string(now_ms()) + " " + what + "\n";
    if (d.log_fd >= 0 && write(d.log_fd, line.data(), line.size()) < 0)
        std::abort();
}

bool disc_out(const Drive &d, long now)
{
    return d.empty || d.ejected || (d.eject_at >= 0 && now >= d.eject_at);
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
    if (d.pause_at >= d.play_at && d.pause_at < end_ms && now >= d.pause_at)
        return {CDROM_AUDIO_PAUSED, at(d.pause_at)};
    if (now < end_ms)
        return {CDROM_AUDIO_PLAY, at(now)};
    // Like real drives, tell of a completed play once, then of nothing.
    const __u8 status = d.completion_told ? CDROM_AUDIO_NO_STATUS : CDROM_AUDIO_COMPLETED;
    d.completion_told = true;
    return {status, std::min(d.to, d.leadout() - 1)};
}

const char *audio_status_name(__u8 s)
{
    switch (s) {
    case CDROM_AUDIO_PLAY:
        return "PLAY";
    case CDROM_AUDIO_PAUSED:
        return "PAUSED";
    case CDROM_AUDIO_COMPLETED:
        return "COMPLETED";
    default:
        return "NO_STATUS";
    }
}

// What the caller handed over with a command, as the log shows it.
std::string arguments(unsigned long request, const void *arg)
{
    if (request == CDROMREADTOCENTRY)
        return " " + std::to_string(static_cast<const cdrom_tocentry *>(arg)->cdte_track);
    if (request == CDROMPLAYMSF) {
        const auto *m = static_cast<const cdrom_msf *>(arg);
        return " " + msf_text(to_frames(m->cdmsf_min0, m->cdmsf_sec0, m->cdmsf_frame0)) + " " +
               msf_text(to_frames(m->cdmsf_min1, m->cdmsf_sec1, m->cdmsf_frame1));
    }
    return "";
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
    switch (request) {
    case CDROMSUBCHNL: {
        auto *sc = static_cast<cdrom_subchnl *>(arg);
        const Play p = play_now(d, now);
        const int track = track_at(d, p.position);
        const int relative = p.position - d.offsets[static_cast<size_t>(track - 1)];
        sc->cdsc_audiostatus = p.status;
        sc->cdsc_adr = 1;
        sc->cdsc_ctrl = d.data.count(track) ? CDROM_DATA_TRACK : 0;
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
        e->cdte_ctrl = d.data.count(track) ? CDROM_DATA_TRACK : 0;
        e->cdte_datamode = 0;
        put_address(e->cdte_addr, e->cdte_format, offset, true);
        reply = msf_text(offset) + (d.data.count(track) ? " data" : " audio");
        return 0;
    }
    case CDROMPLAYMSF: {
        const auto *m = static_cast<const cdrom_msf *>(arg);
        const int from = to_frames(m->cdmsf_min0, m->cdmsf_sec0, m->cdmsf_frame0);
        const int to = to_frames(m->cdmsf_min1, m->cdmsf_sec1, m->cdmsf_frame1);
        if (from < d.offsets.front() || from >= to || to > d.leadout())
            return EINVAL;
        // A drive plays no data as sound.
        if (d.data.count(track_at(d, from)))
            return EIO;
        d.commanded = true;
        d.completion_told = false;
        d.play_at = now;
        d.from = from;
        d.to = to;
        return 0;
    }
    case CDROMSTART: // spins the disc up; wine sends it before every play
        return 0;
    default:
        return ENOTTY;
    }
}

} // namespace

extern "C" {

int stat(const char *path, struct stat *buf) noexcept
{
    static auto *real = next<int(const char *, struct stat *)>("stat");
    const std::lock_guard<std::mutex> hold(lock);
    Drive &d = drive();
    if (!is_drive(d, path))
        return real(path, buf);
    std::memset(buf, 0, sizeof *buf);
    buf->st_mode = S_IFBLK | 0660;
    buf->st_rdev = makedev(11, 0); // where Linux puts the first SCSI CD-ROM
    log(d, std::string("stat ") + path + " = block device");
    return 0;
}

int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    const std::lock_guard<std::mutex> hold(lock);
    Drive &d = drive();
    if (!is_drive(d, path))
        return real_open(path, flags, mode);
    // A real descriptor, so that anything else done with it stays harmless.
    const int fd = real_open("/dev/null", O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0)
        d.fds.insert(fd);
    log(d, std::string("open ") + path + " = " + std::to_string(fd));
    return fd;
}

int close(int fd)
{
    static auto *real = next<int(int)>("close");
    {
        const std::lock_guard<std::mutex> hold(lock);
        Drive &d = drive();
        if (d.fds.erase(fd) != 0)
            log(d, "close " + std::to_string(fd));
    }
    return real(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    static auto *real = next<int(int, unsigned long, ...)>("ioctl");
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);

    const std::lock_guard<std::mutex> hold(lock);
    Drive &d = drive();
    if (!is_drive(d, fd))
        return real(fd, request, arg);

    const std::string name = command_name(request);
    std::string reply = "0";
    const int error = answer(d, request, arg, reply);
    log(d, name + arguments(request, arg) + " = " + (error == 0 ? reply : strerrorname_np(error)));
    if (name == d.eject_command && ++d.eject_commands_seen == d.eject_count)
        d.ejected = true;
    if (error == 0)
        return 0;
    errno = error;
    return -1;
}

} // extern "C"
