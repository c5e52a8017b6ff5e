#include "cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define XXH_STATIC_LINKING_ONLY // XXH3_state_t, on the stack
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mp3.h"

namespace cache {

namespace {

const char *const kAside = ".part.";
const char *const kToc = "toc";
// Nor does a fifo planted there keep a read waiting.
constexpr int kOpenIn = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A descriptor, closed on every way out.
struct Fd {
    int fd;
    explicit Fd(int fd) : fd(fd) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

std::string home()
{
    if (const char *set = std::getenv("HOME"); set != nullptr && *set == '/')
        return set;
    const passwd *user = getpwuid(getuid());
    return user != nullptr ? user->pw_dir : "/";
}

std::string said(const std::string &what, const std::string &path, int error)
{
    return what + " " + path + ": " + std::strerror(error);
}

// Someone else could put anything there, or take it.
std::string not_yours(const std::string &root, const char *why)
{
    return "the cache's folder " + root + " is not yours alone: it is " + why +
           "; set XDG_CACHE_HOME to a folder of your own";
}

// All of a read, or -1 with errno set.
ssize_t read_some(int fd, unsigned char *into, size_t size)
{
    ssize_t got;
    while ((got = read(fd, into, size)) < 0 && errno == EINTR) {
    }
    return got;
}

bool write_all(int fd, const std::string &text)
{
    for (size_t at = 0; at < text.size();) {
        const ssize_t put = write(fd, text.data() + at, text.size() - at);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        at += static_cast<size_t>(put);
    }
    return true;
}

// A file of a disc's folder as the table keeps it: its name, size and
// checksum, on a line; and its MPEG frames. False, with errno set, where it
// is not a plain file there or cannot be read.
bool scan(int folder, const std::string &name, std::string &line, long &frames)
{
    const Fd in(openat(folder, name.c_str(), kOpenIn));
    struct stat st;
    if (in.fd < 0 || fstat(in.fd, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    XXH3_state_t sum;
    XXH3_64bits_reset(&sum);
    mp3::FrameCounter counter;
    std::vector<unsigned char> block(1 << 16);
    unsigned long long size = 0;
    for (ssize_t got; (got = read_some(in.fd, block.data(), block.size())) != 0;) {
        if (got < 0)
            return false;
        XXH3_64bits_update(&sum, block.data(), static_cast<size_t>(got));
        counter.add(block.data(), static_cast<size_t>(got));
        size += static_cast<unsigned long long>(got);
    }
    char text[64];
    std::snprintf(text, sizeof text, " %llu %016" PRIx64 "\n", size, static_cast<uint64_t>(XXH3_64bits_digest(&sum)));
    line = name + text;
    frames = counter.frames();
    return true;
}

// The table a disc's folder keeps of toc's tracks in it: toc's own text,
// then each file's line, and the frames of each; false, with errno set and
// failed at the track, where a file cannot be read.
bool table_of(int folder, const disc::Toc &toc, std::string &table, std::vector<long> &frames, size_t &failed)
{
    table = toc.text();
    const std::vector<disc::Track> played = toc.played();
    for (failed = 0; failed < played.size(); ++failed) {
        std::string line;
        long counted = 0;
        if (!scan(folder, track_name(failed, played[failed].audio), line, counted))
            return false;
        table += line;
        frames.push_back(counted);
    }
    return true;
}

const char *const kDamaged = "damaged ";

// The table's last lines: the audio tracks read with errors, and how many
// samples, by played track.
std::string damage_lines(const disc::Toc &toc, const std::vector<long> &damaged)
{
    std::string lines;
    const std::vector<disc::Track> played = toc.played();
    for (size_t i = 0; i < played.size() && i < damaged.size(); ++i)
        if (played[i].audio && damaged[i] > 0)
            lines += kDamaged + track_name(i, true) + " " + std::to_string(damaged[i]) + "\n";
    return lines;
}

// What a table says of the tracks read with errors, by played track; its
// lines not of that kind are left to the check of the whole table.
std::vector<long> damage_of(const std::string &table, const disc::Toc &toc)
{
    const std::vector<disc::Track> played = toc.played();
    std::vector<long> damaged(played.size(), 0);
    for (size_t at = table.find(kDamaged); at != std::string::npos; at = table.find(kDamaged, at + 1)) {
        if (at != 0 && table[at - 1] != '\n')
            continue;
        for (size_t i = 0; i < played.size(); ++i) {
            const std::string name = kDamaged + track_name(i, true) + " ";
            if (played[i].audio && table.compare(at, name.size(), name) == 0)
                damaged[i] = std::strtol(table.c_str() + at + name.size(), nullptr, 10);
        }
    }
    return damaged;
}

// The table file of a disc's folder; "" where there is none, or not one of
// the size a table has.
std::string read_table(int folder)
{
    const Fd in(openat(folder, kToc, kOpenIn));
    std::vector<unsigned char> text(1 << 16);
    size_t have = 0;
    ssize_t got = 1;
    while (in.fd >= 0 && have < text.size() && (got = read_some(in.fd, text.data() + have, text.size() - have)) > 0)
        have += static_cast<size_t>(got);
    if (got < 0 || have == text.size())
        return "";
    return std::string(text.begin(), text.begin() + static_cast<long>(have));
}

// The folder name in folder, to be read and closed; nullptr with errno set.
DIR *list(int folder, const char *name)
{
    const int fd = openat(folder, name, kOpenFolder);
    DIR *in = fd >= 0 ? fdopendir(fd) : nullptr;
    if (in == nullptr && fd >= 0)
        close(fd);
    return in;
}

// Takes name out of folder, and all in it where it is a folder, following no
// link; false with errno set where something stays.
bool remove_at(int folder, const char *name)
{
    if (unlinkat(folder, name, 0) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR)
        return false;
    DIR *in = list(folder, name);
    if (in == nullptr)
        return false;
    int failed = 0;
    while (const dirent *e = readdir(in)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 && !remove_at(dirfd(in), e->d_name))
            failed = errno;
    }
    closedir(in);
    errno = failed;
    return failed == 0 && (unlinkat(folder, name, AT_REMOVEDIR) == 0 || errno == ENOENT);
}

// A name no other folder beside it has, most likely.
std::string unique_suffix()
{
    unsigned char bytes[6];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const unsigned long mix = static_cast<unsigned long>(now.tv_nsec) ^ static_cast<unsigned long>(getpid()) << 20;
        std::memcpy(bytes, &mix, sizeof bytes);
    }
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix;
    for (const unsigned char b : bytes)
        suffix += kLetters[b % (sizeof kLetters - 1)];
    return suffix;
}

} // namespace

Root::~Root()
{
    if (fd_ >= 0)
        close(fd_);
}

std::string Root::where()
{
    const char *xdg = std::getenv("XDG_CACHE_HOME");
    return (xdg != nullptr && *xdg == '/' ? std::string(xdg) : home() + "/.cache") + "/tbx";
}

bool Root::open(const std::string &path, std::string &error)
{
    const size_t cut = path.find_last_of('/');
    const std::string above = cut == 0 ? "/" : path.substr(0, cut);
    const std::string name = path.substr(cut + 1);
    for (size_t at = 1; at <= above.size(); ++at) {
        at = std::min(above.find('/', at), above.size());
        if (mkdir(above.substr(0, at).c_str(), 0777) != 0 && errno != EEXIST) {
            error = write_failure(path, above.substr(0, at), errno);
            return false;
        }
    }
    // The levels above may lead through links (~/.cache on another disk);
    // the cache's own folder may not.
    const Fd up(::open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (up.fd < 0 || (mkdirat(up.fd, name.c_str(), 0700) != 0 && errno != EEXIST)) {
        error = write_failure(path, path, errno);
        return false;
    }
    Fd root(openat(up.fd, name.c_str(), kOpenFolder));
    struct stat st;
    if (root.fd < 0 || fstat(root.fd, &st) != 0) {
        const int why = errno;
        struct stat link;
        const bool linked = fstatat(up.fd, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode);
        error = linked ? not_yours(path, "a symbolic link") : said("cannot open the cache's folder", path, why);
        return false;
    }
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = not_yours(path, st.st_uid != geteuid() ? "another user's" : "writable by others");
        return false;
    }
    // Kept from others' eyes too, as made.
    if ((st.st_mode & 077) != 0 && fchmod(root.fd, 0700) != 0) {
        error = said("cannot make private the cache's folder", path, errno);
        return false;
    }
    path_ = path;
    fd_ = root.fd;
    root.fd = -1;
    return true;
}

std::string write_failure(const std::string &root, const std::string &path, int error)
{
    if (error == ENOSPC || error == EDQUOT)
        return "no space left on the disk for the cache in " + root;
    return said("cannot write", path, error);
}

std::string track_name(size_t i, bool audio)
{
    char name[32];
    std::snprintf(name, sizeof name, "track%02zu.%s", i + 1, audio ? "mp3" : "dat");
    return name;
}

std::string track_file(const std::string &folder, size_t i, bool audio)
{
    return folder + "/" + track_name(i, audio);
}

std::string being_read(size_t i) { return track_name(i, true) + ".part"; }

std::optional<std::vector<long>> Place::kept(const disc::Toc &toc) const
{
    const Fd here(openat(root_.fd(), id_.c_str(), kOpenFolder));
    const std::string kept = read_table(here.fd);
    // Another disc's table is told before any track is read.
    const std::string own = toc.text();
    std::string expected;
    std::vector<long> frames;
    size_t failed = 0;
    if (here.fd < 0 || kept.compare(0, own.size(), own) != 0 || !table_of(here.fd, toc, expected, frames, failed))
        return std::nullopt;
    const std::vector<disc::Track> played = toc.played();
    for (size_t i = 0; i < played.size(); ++i)
        if (played[i].audio && frames[i] != mp3::frames_for(played[i].frames))
            return std::nullopt;
    std::vector<long> damaged = damage_of(kept, toc);
    if (kept != expected + damage_lines(toc, damaged))
        return std::nullopt;
    return damaged;
}

bool Place::whole(const disc::Toc &toc) const
{
    const std::optional<std::vector<long>> k = kept(toc);
    return k && std::all_of(k->begin(), k->end(), [](long d) { return d == 0; });
}

bool Place::clear(std::string &error) const
{
    if (remove_at(root_.fd(), id_.c_str()))
        return true;
    error = said("cannot remove", folder(), errno);
    return false;
}

Place::Lock::~Lock()
{
    if (fd_ >= 0)
        close(fd_);
}

Place::Lock::Taken Place::Lock::take(std::string &error)
{
    const std::string name = place_.id_ + ".lock";
    if (fd_ < 0)
        fd_ = openat(place_.root_.fd(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        error = write_failure(place_.root(), place_.folder() + ".lock", errno);
        return Taken::Failed;
    }
    while (!held_ && flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return Taken::Held;
        if (errno != EINTR) {
            error = said("cannot lock", place_.folder() + ".lock", errno);
            return Taken::Failed;
        }
    }
    held_ = true;
    return Taken::Yes;
}

void Place::Lock::release()
{
    if (held_)
        flock(fd_, LOCK_UN);
    held_ = false;
}

void sweep(const Root &root)
{
    std::vector<std::string> left;
    DIR *in = list(root.fd(), ".");
    if (in == nullptr)
        return;
    while (const dirent *e = readdir(in))
        if (std::strstr(e->d_name, kAside) != nullptr)
            left.emplace_back(e->d_name);
    closedir(in);
    for (const std::string &name : left) {
        const Place place(root, name.substr(0, name.find(kAside)));
        Place::Lock lock(place);
        std::string ignored;
        if (lock.take(ignored) != Place::Lock::Taken::Yes)
            continue;
        remove_at(root.fd(), name.c_str());
        // The place's link to it; a folder there is a disc kept.
        struct stat st;
        if (fstatat(root.fd(), place.id().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            unlinkat(root.fd(), place.id().c_str(), 0);
    }
}

Aside::Aside(const Place &place, std::string name)
    : place_(place), name_(std::move(name)), folder_(place.root() + "/" + name_)
{
}

std::unique_ptr<Aside> Aside::folder_beside(const Place &place, std::string &error)
{
    const int root = place.root_.fd();
    std::string name;
    for (int tries = 0;; ++tries) {
        name = place.id_ + kAside + unique_suffix();
        if (mkdirat(root, name.c_str(), 0700) == 0)
            break;
        if (errno != EEXIST || tries == 100) {
            error = write_failure(place.root(), place.root() + "/" + name, errno);
            return nullptr;
        }
    }
    std::unique_ptr<Aside> aside(new Aside(place, name));
    aside->fd_ = openat(root, name.c_str(), kOpenFolder);
    if (aside->fd_ < 0) {
        error = write_failure(place.root(), aside->folder_, errno);
        return nullptr;
    }
    return aside;
}

std::unique_ptr<Aside> Aside::again(const Place &place, const disc::Toc &toc, const std::vector<bool> &wanted,
                                    std::vector<long> damaged, std::string &error)
{
    std::unique_ptr<Aside> aside = folder_beside(place, error);
    if (!aside)
        return nullptr;
    const Fd kept(openat(place.root_.fd(), place.id_.c_str(), kOpenFolder));
    const std::vector<disc::Track> played = toc.played();
    for (size_t i = 0; i < played.size(); ++i) {
        const std::string file = track_name(i, played[i].audio);
        if (!wanted[i] && linkat(kept.fd, file.c_str(), aside->fd_, file.c_str(), 0) != 0) {
            error = write_failure(place.root(), aside->folder_ + "/" + file, errno);
            return nullptr;
        }
    }
    aside->again_ = wanted;
    aside->before_ = std::move(damaged);
    return aside;
}

std::unique_ptr<Aside> Aside::make(const Place &place, const disc::Toc &toc, std::string &error)
{
    std::unique_ptr<Aside> aside = folder_beside(place, error);
    if (!aside)
        return nullptr;
    const int root = place.root_.fd();
    const std::string &name = aside->name_;
    const std::vector<disc::Track> played = toc.played();
    for (size_t i = 0; i < played.size(); ++i) {
        const std::string file = track_name(i, played[i].audio);
        bool made = false;
        if (played[i].audio) {
            made = mp3::write_stand_in(aside->fd_, file, played[i].frames);
        } else {
            const Fd empty(openat(aside->fd_, file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            made = empty.fd >= 0;
        }
        if (!made) {
            error = write_failure(place.root(), aside->folder_ + "/" + file, errno);
            return nullptr;
        }
    }
    // Relative, so that the cache can move.
    if (symlinkat(name.c_str(), root, place.id_.c_str()) != 0) {
        error = write_failure(place.root(), place.folder(), errno);
        return nullptr;
    }
    aside->linked_ = true;
    return aside;
}

bool Aside::put(size_t i, std::string &error) const
{
    const std::string name = track_name(i, true);
    if (renameat(fd_, being_read(i).c_str(), fd_, name.c_str()) == 0)
        return true;
    error = write_failure(place_.root(), folder_ + "/" + name, errno);
    return false;
}

Aside::~Aside()
{
    if (fd_ >= 0)
        close(fd_);
    if (kept_)
        return;
    const int root = place_.root_.fd();
    if (linked_)
        unlinkat(root, place_.id_.c_str(), 0);
    remove_at(root, name_.c_str());
}

bool Aside::take_again(const disc::Toc &toc, std::vector<long> &damaged, std::string &error) const
{
    const Fd kept(openat(place_.root_.fd(), place_.id_.c_str(), kOpenFolder));
    const std::vector<disc::Track> played = toc.played();
    for (size_t i = 0; i < played.size(); ++i) {
        if (!again_[i])
            continue;
        const std::string name = track_name(i, true);
        // The new reading where it has fewer errors; else the one before.
        const bool better = damaged[i] < before_[i];
        const bool taken = better ? renameat(fd_, being_read(i).c_str(), fd_, name.c_str()) == 0
                                  : linkat(kept.fd, name.c_str(), fd_, name.c_str(), 0) == 0;
        if (!taken) {
            error = write_failure(place_.root(), folder_ + "/" + name, errno);
            return false;
        }
        if (!better) {
            unlinkat(fd_, being_read(i).c_str(), 0);
            damaged[i] = before_[i];
        }
    }
    return true;
}

bool Aside::keep(const disc::Toc &toc, std::vector<long> &damaged, std::string &error)
{
    damaged.resize(toc.played().size(), 0);
    if (!again_.empty() && !take_again(toc, damaged, error))
        return false;
    std::string table;
    std::vector<long> frames;
    size_t failed = 0;
    if (!table_of(fd_, toc, table, frames, failed)) {
        error = said("cannot read", track_file(folder_, failed, toc.played()[failed].audio), errno);
        return false;
    }
    table += damage_lines(toc, damaged);
    const Fd out(openat(fd_, kToc, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.fd < 0 || !write_all(out.fd, table)) {
        error = write_failure(place_.root(), folder_ + "/" + kToc, errno);
        return false;
    }
    if (!swap(error))
        return false;
    kept_ = true;
    return true;
}

bool Aside::swap(std::string &error)
{
    // The folder and what is in its place, the link to it or the disc kept
    // before, trade places in one step, so that tbx finds the tracks at
    // every moment; then what is now aside goes.
    const int root = place_.root_.fd();
    const char *id = place_.id_.c_str();
    if (renameat2(root, name_.c_str(), root, id, RENAME_EXCHANGE) == 0) {
        remove_at(root, name_.c_str());
        return true;
    }
    // Where the file system, the kernel or a sandbox will not trade, what
    // is in the place goes first: the link, or the disc kept before, aside
    // to be taken out; only a full disk or a failing one ends it here.
    const bool refused = errno != ENOSPC && errno != EDQUOT && errno != EIO;
    const std::string kept_before = name_ + "-before";
    if (refused && linked_ && (unlinkat(root, id, 0) == 0 || errno == ENOENT))
        linked_ = false;
    const bool moved = refused && !linked_ && (again_.empty() || renameat(root, id, root, kept_before.c_str()) == 0);
    if (!moved || renameat(root, name_.c_str(), root, id) != 0) {
        error = write_failure(place_.root(), place_.folder(), errno);
        if (moved && !again_.empty())
            renameat(root, kept_before.c_str(), root, id);
        return false;
    }
    if (!again_.empty())
        remove_at(root, kept_before.c_str());
    return true;
}

} // namespace cache
