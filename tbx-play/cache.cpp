#include "cache.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "mp3.h"

namespace fs = std::filesystem;

namespace cache {

namespace {

const char *const kAside = ".part.";

std::string home()
{
    if (const char *set = std::getenv("HOME"); set != nullptr && *set == '/')
        return set;
    const passwd *user = getpwuid(getuid());
    return user != nullptr ? user->pw_dir : "/";
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

std::string root(std::string &error)
{
    const char *xdg = std::getenv("XDG_CACHE_HOME");
    std::string root = (xdg != nullptr && *xdg == '/' ? std::string(xdg) : home() + "/.cache") + "/tbx";
    std::error_code made;
    fs::create_directories(root, made);
    if (made) {
        error = write_failure(root, root, made.value());
        return "";
    }
    return root;
}

std::string write_failure(const std::string &root, const std::string &path, int error)
{
    if (error == ENOSPC || error == EDQUOT)
        return "no space left on the disk for the cache in " + root;
    return "cannot write " + path + ": " + std::strerror(error);
}

std::string track_file(const std::string &folder, size_t i, bool audio)
{
    char name[32];
    std::snprintf(name, sizeof name, "/track%02zu.%s", i + 1, audio ? "mp3" : "dat");
    return folder + name;
}

std::string being_read(const std::string &folder, size_t i) { return track_file(folder, i, true) + ".part"; }

bool Place::whole(const disc::Toc &toc) const
{
    struct stat st;
    if (lstat(folder().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || read_text(folder() + "/toc") != toc.text())
        return false;
    const std::vector<disc::Track> played = toc.played();
    for (size_t i = 0; i < played.size(); ++i) {
        const std::string file = track_file(folder(), i, played[i].audio);
        if (played[i].audio ? mp3::count_frames(file) != mp3::frames_for(played[i].frames) : !fs::exists(file))
            return false;
    }
    return true;
}

bool Place::clear() const
{
    std::error_code error;
    fs::remove_all(folder(), error);
    errno = error.value();
    return !error;
}

Place::Lock::Lock(const Place &place)
    : fd_(open((place.folder() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)), error_(fd_ < 0 ? errno : 0)
{
}

Place::Lock::~Lock()
{
    if (fd_ >= 0)
        close(fd_);
}

bool Place::Lock::take()
{
    held_ = held_ || (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0);
    return held_;
}

void Place::Lock::release()
{
    if (held_)
        flock(fd_, LOCK_UN);
    held_ = false;
}

void sweep(const std::string &root)
{
    std::error_code error;
    for (const fs::directory_entry &entry : fs::directory_iterator(root, error)) {
        const std::string name = entry.path().filename().string();
        const size_t mark = name.find(kAside);
        if (mark == std::string::npos)
            continue;
        const Place place(root, name.substr(0, mark));
        Place::Lock lock(place);
        if (!lock.take())
            continue;
        fs::remove_all(entry.path(), error);
        if (fs::is_symlink(fs::symlink_status(place.folder(), error)))
            fs::remove(place.folder(), error);
    }
}

std::unique_ptr<Aside> Aside::make(const Place &place, const disc::Toc &toc, std::string &error)
{
    std::string path = place.folder() + kAside + "XXXXXX";
    if (mkdtemp(path.data()) == nullptr) {
        error = write_failure(place.root(), path, errno);
        return nullptr;
    }
    std::unique_ptr<Aside> aside(new Aside(place, path));
    const std::vector<disc::Track> played = toc.played();
    for (size_t i = 0; i < played.size(); ++i) {
        const std::string file = track_file(path, i, played[i].audio);
        const bool made = played[i].audio ? mp3::write_stand_in(file, played[i].frames)
                                          : std::ofstream(file).good();
        if (!made) {
            error = write_failure(place.root(), file, errno);
            return nullptr;
        }
    }
    // Relative, so that the cache can move.
    if (symlink(fs::path(path).filename().c_str(), place.folder().c_str()) != 0) {
        error = write_failure(place.root(), place.folder(), errno);
        return nullptr;
    }
    aside->linked_ = true;
    return aside;
}

bool Aside::put(size_t i) const
{
    return rename(being_read(folder_, i).c_str(), track_file(folder_, i, true).c_str()) == 0;
}

Aside::~Aside()
{
    if (kept_)
        return;
    if (linked_)
        unlink(place_.folder().c_str());
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

bool Aside::keep(const disc::Toc &toc, std::string &error)
{
    const std::string file = folder_ + "/toc";
    std::ofstream out(file, std::ios::binary);
    out << toc.text();
    out.close();
    if (!out) {
        error = write_failure(place_.root(), file, errno);
        return false;
    }
    // The folder and the link trade places in one step, so that tbx finds
    // the tracks at every moment; then the link, now aside, goes.
    if (renameat2(AT_FDCWD, folder_.c_str(), AT_FDCWD, place_.folder().c_str(), RENAME_EXCHANGE) != 0) {
        // A file system that cannot trade: the link goes first.
        if (errno != EINVAL || unlink(place_.folder().c_str()) != 0 ||
            rename(folder_.c_str(), place_.folder().c_str()) != 0) {
            error = write_failure(place_.root(), place_.folder(), errno);
            return false;
        }
    } else {
        unlink(folder_.c_str());
    }
    kept_ = true;
    return true;
}

} // namespace cache
