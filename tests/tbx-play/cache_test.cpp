// tbx-play's cache where someone may have been before it: a folder of
// another user's, or one others may write to, a symbolic link where the
// folder, a lock, a disc's place or a folder read aside should be; a lock
// the file system will not take, a swap the kernel will not make. Each is
// refused or ignored, and nothing outside the cache's folder is made,
// written or removed. A disc kept that is not what was read is read again;
// what a killed run left is taken out, what a running one holds is not.
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "cache.h"
#include "mp3.h"
#include "output.h"
#include "process.h"
#include "test_names.h"

namespace {

// What the file system and the kernel answer, where a row says otherwise.
int flock_error = 0;
int exchange_error = 0;
// What the next move of a folder read aside into a disc's place answers.
int move_error = 0;

} // namespace

// Linked ahead of libc's, for cache.cpp's calls.
extern "C" int flock(int fd, int operation) noexcept
{
    if (flock_error != 0) {
        errno = flock_error;
        return -1;
    }
    static const auto real = reinterpret_cast<int (*)(int, int)>(dlsym(RTLD_NEXT, "flock"));
    return real(fd, operation);
}

extern "C" int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags) noexcept
{
    if (exchange_error != 0 && (flags & RENAME_EXCHANGE) != 0) {
        errno = exchange_error;
        return -1;
    }
    static const auto real =
        reinterpret_cast<int (*)(int, const char *, int, const char *, unsigned)>(dlsym(RTLD_NEXT, "renameat2"));
    return real(from_dir, from, to_dir, to, flags);
}

// The move into a place: from a name with ".part." in it to one without.
extern "C" int renameat(int from_dir, const char *from, int to_dir, const char *to) noexcept
{
    if (move_error != 0 && std::strstr(from, ".part.") != nullptr && std::strstr(to, ".part.") == nullptr) {
        errno = std::exchange(move_error, 0);
        return -1;
    }
    static const auto real =
        reinterpret_cast<int (*)(int, const char *, int, const char *)>(dlsym(RTLD_NEXT, "renameat"));
    return real(from_dir, from, to_dir, to);
}

namespace {

namespace fs = std::filesystem;
namespace said = output::companion;

const std::string kId = "Disc-ID_of.a.disc-";
// A data track, then two short audio tracks.
const disc::Toc kToc{{{1, false, 0, 300}, {2, true, 300, 75}, {3, true, 375, 150}}};

// Every path under top, with what it holds or where it leads; nothing of
// the folder skip.
std::map<std::string, std::string> tree(const std::string &top, const std::string &skip = "")
{
    std::map<std::string, std::string> seen;
    std::error_code none;
    for (auto it = fs::recursive_directory_iterator(top, none); it != fs::recursive_directory_iterator();
         it.increment(none)) {
        const std::string path = it->path().string();
        const fs::file_status st = it->symlink_status();
        if (path == skip && fs::is_directory(st)) {
            it.disable_recursion_pending();
            continue;
        }
        seen[path] = fs::is_symlink(st) ? "-> " + fs::read_symlink(path).string()
                     : fs::is_regular_file(st) ? read_file(path)
                     : fs::is_directory(st)    ? "folder"
                                               : "other";
    }
    return seen;
}

// Every path under dir but the cache's own folder.
std::map<std::string, std::string> outside(const TempDir &dir)
{
    std::map<std::string, std::string> seen = tree(dir.path(), dir / "cache/tbx");
    // The folder above it is made with it, as mkdir -p makes it.
    seen.erase(dir / "cache");
    return seen;
}

std::vector<std::string> names_in(const std::string &folder)
{
    std::vector<std::string> names;
    std::error_code none;
    for (const auto &e : fs::directory_iterator(folder, none))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The names in the cache's folder.
std::vector<std::string> in_root(const TempDir &dir) { return names_in(dir / "cache/tbx"); }

// What main does with the cache for a disc it reads; "" where the disc was
// kept whole, else what was said, as tbx-play says it.
std::string keep_a_disc(const TempDir &dir)
{
    std::string error;
    const auto said_so = [&] { return "tbx-play: " + error + ".\n"; };
    cache::Root root;
    if (!root.open(dir / "cache/tbx", error))
        return said_so();
    cache::sweep(root);
    const cache::Place place(root, kId);
    cache::Place::Lock lock(place);
    if (lock.take(error) != cache::Place::Lock::Taken::Yes)
        return said_so();
    if (!place.whole(kToc) && !place.clear(error))
        return said_so();
    const std::unique_ptr<cache::Aside> aside = cache::Aside::make(place, kToc, error);
    std::vector<long> exact;
    if (!aside || !aside->keep(kToc, exact, error))
        return said_so();
    return place.whole(kToc) ? "" : "not whole";
}

struct Hostile {
    const char *name;
    std::function<void(const TempDir &)> before;
    std::function<std::string(const TempDir &)> said; // "" where the disc is kept
};

void planted(const std::string &target, const std::string &link)
{
    fs::create_directories(fs::path(link).parent_path());
    fs::create_symlink(target, link);
}

// Somewhere another user may want written, holding something to lose.
void elsewhere(const TempDir &dir)
{
    fs::create_directories(dir / "elsewhere/folder");
    std::ofstream(dir / "elsewhere/folder/track01.mp3") << "someone's own";
}

uid_t nobody()
{
    const passwd *p = getpwnam("nobody");
    return p != nullptr ? p->pw_uid : 65534;
}

const Hostile kHostile[] = {
    {"fresh", nullptr, [](const TempDir &) { return ""; }},
    {"root_of_another_user",
     [](const TempDir &dir) {
         fs::create_directories(dir / "cache/tbx");
         ASSERT_EQ(chown((dir / "cache/tbx").c_str(), nobody(), nobody()), 0);
     },
     [](const TempDir &dir) { return said::not_yours(dir / "cache/tbx", "another user's"); }},
    {"root_writable_by_its_group",
     [](const TempDir &dir) {
         fs::create_directories(dir / "cache/tbx");
         fs::permissions(dir / "cache/tbx", fs::perms::owner_all | fs::perms::group_all);
     },
     [](const TempDir &dir) { return said::not_yours(dir / "cache/tbx", "writable by others"); }},
    {"root_a_symbolic_link", [](const TempDir &dir) { planted(dir / "elsewhere/folder", dir / "cache/tbx"); },
     [](const TempDir &dir) { return said::not_yours(dir / "cache/tbx", "a symbolic link"); }},
    // Nobody else could have planted it: the root is the user's alone.
    {"lock_a_symbolic_link", [](const TempDir &dir) { planted(dir / "elsewhere/made", dir / "cache/tbx/" + kId + ".lock"); },
     [](const TempDir &dir) {
         return said::cannot_write(dir / "cache/tbx/" + kId + ".lock", std::strerror(ELOOP));
     }},
    {"place_a_symbolic_link", [](const TempDir &dir) { planted(dir / "elsewhere/folder", dir / "cache/tbx/" + kId); },
     [](const TempDir &) { return ""; }},
    {"track_in_place_a_symbolic_link",
     [](const TempDir &dir) { planted(dir / "elsewhere/folder/track01.mp3", dir / "cache/tbx/" + kId + "/track02.mp3"); },
     [](const TempDir &) { return ""; }},
    {"aside_folder_a_symbolic_link",
     [](const TempDir &dir) { planted(dir / "elsewhere/folder", dir / "cache/tbx/" + kId + ".part.abcdef"); },
     [](const TempDir &) { return ""; }},
    {"link_inside_an_aside_folder",
     [](const TempDir &dir) { planted(dir / "elsewhere/folder", dir / "cache/tbx/" + kId + ".part.abcdef/track02.mp3"); },
     [](const TempDir &) { return ""; }},
};

class HostileCache : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileCache, IsRefusedOrIgnoredAndNothingOutsideIsTouched)
{
    const Hostile &h = GetParam();
    const TempDir dir;
    elsewhere(dir);
    if (h.before)
        h.before(dir);
    const std::map<std::string, std::string> before = outside(dir);

    EXPECT_EQ(keep_a_disc(dir), h.said(dir));
    EXPECT_EQ(outside(dir), before);
    if (h.said(dir).empty()) {
        EXPECT_EQ(in_root(dir), (std::vector<std::string>{kId, kId + ".lock"}));
        struct stat st;
        ASSERT_EQ(lstat((dir / "cache/tbx").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700U);
    }
}

INSTANTIATE_TEST_SUITE_P(Cache, HostileCache, ::testing::ValuesIn(kHostile), ByName());

TEST(Cache, AFolderOfTheUsersOwnIsMadePrivate)
{
    const TempDir dir;
    fs::create_directories(dir / "cache/tbx");
    fs::permissions(dir / "cache/tbx", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read |
                                            fs::perms::group_exec | fs::perms::others_exec);
    EXPECT_EQ(keep_a_disc(dir), "");
    EXPECT_EQ(fs::status(dir / "cache/tbx").permissions(), fs::perms::owner_all);
}

struct Refusal {
    const char *name;
    int flock_error;
    int exchange_error;
    std::function<std::string(const TempDir &)> said; // "" where the disc is kept
};

const Refusal kRefusals[] = {
    {"lock_without_lockd", ENOLCK, 0,
     [](const TempDir &dir) { return said::cannot_lock(dir / "cache/tbx/" + kId + ".lock", std::strerror(ENOLCK)); }},
    {"lock_on_a_file_system_without_locks", EINVAL, 0,
     [](const TempDir &dir) { return said::cannot_lock(dir / "cache/tbx/" + kId + ".lock", std::strerror(EINVAL)); }},
    {"swap_on_an_old_kernel", 0, ENOSYS, [](const TempDir &) { return ""; }},
    {"swap_in_a_sandbox", 0, EPERM, [](const TempDir &) { return ""; }},
    {"swap_on_a_file_system_without_it", 0, EINVAL, [](const TempDir &) { return ""; }},
    {"swap_on_a_full_disk", 0, ENOSPC,
     [](const TempDir &dir) { return "tbx-play: no space left on the disk for the cache in " + dir / "cache/tbx.\n"; }},
    {"swap_on_a_failing_disk", 0, EIO,
     [](const TempDir &dir) { return said::cannot_write(dir / "cache/tbx/" + kId, std::strerror(EIO)); }},
};

class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, IsNamedOrGoneAround)
{
    const Refusal &r = GetParam();
    const TempDir dir;
    flock_error = r.flock_error;
    exchange_error = r.exchange_error;
    const std::string said = keep_a_disc(dir);
    flock_error = exchange_error = 0;
    EXPECT_EQ(said, r.said(dir));
    // Kept whole, or nothing of it.
    const std::vector<std::string> whole = {kId, kId + ".lock"};
    EXPECT_EQ(in_root(dir), said.empty() ? whole : std::vector<std::string>(whole.begin() + 1, whole.end()));
}

INSTANTIATE_TEST_SUITE_P(Cache, Refused, ::testing::ValuesIn(kRefusals), ByName());

TEST(Cache, ALockHeldElsewhereIsHeldNotFailed)
{
    const TempDir dir;
    std::string error;
    cache::Root root;
    ASSERT_TRUE(root.open(dir / "cache/tbx", error)) << error;
    const cache::Place place(root, kId);
    cache::Place::Lock first(place);
    cache::Place::Lock second(place);
    EXPECT_EQ(first.take(error), cache::Place::Lock::Taken::Yes);
    EXPECT_EQ(second.take(error), cache::Place::Lock::Taken::Held);
    first.release();
    EXPECT_EQ(second.take(error), cache::Place::Lock::Taken::Yes);
}

// A tbx still playing after tbx-play was killed would otherwise hold the
// disc's lock, and the next run would wait for it to the end of the disc.
TEST(Cache, AProgramStartedDuringAReadHoldsNoneOfItsFiles)
{
    const TempDir dir;
    std::string error;
    cache::Root root;
    ASSERT_TRUE(root.open(dir / "cache/tbx", error)) << error;
    const cache::Place place(root, kId);
    cache::Place::Lock lock(place);
    ASSERT_EQ(lock.take(error), cache::Place::Lock::Taken::Yes) << error;
    const std::unique_ptr<cache::Aside> aside = cache::Aside::make(place, kToc, error);
    ASSERT_TRUE(aside) << error;
    Spawn ls;
    ls.argv = {"/bin/ls", "-l", "/proc/self/fd/"};
    const Exit e = run_process(ls);
    EXPECT_EQ(e.status, 0) << e.err;
    EXPECT_EQ(e.out.find(dir / "cache"), std::string::npos) << e.out;
}

TEST(Cache, ATrackWithOneByteChangedIsNotWhole)
{
    const TempDir dir;
    ASSERT_EQ(keep_a_disc(dir), "");
    const std::string track = dir / "cache/tbx/" + kId + "/track03.mp3";
    const long frames = mp3::count_frames(track);
    std::string bytes = read_file(track);
    bytes[bytes.size() / 2] ^= 0x01;
    std::ofstream(track, std::ios::binary) << bytes;
    ASSERT_EQ(mp3::count_frames(track), frames) << "the change is one a frame count cannot see";

    std::string error;
    cache::Root root;
    ASSERT_TRUE(root.open(dir / "cache/tbx", error)) << error;
    EXPECT_FALSE(cache::Place(root, kId).whole(kToc));
}

} // namespace

namespace {

// A disc kept as the read keeps it, its last track read with errors: so
// many samples; read: what the read left in the folder read aside.
void keep_damaged(const TempDir &dir, long samples, const std::function<void(const std::string &)> &read = nullptr)
{
    std::string error;
    cache::Root root;
    ASSERT_TRUE(root.open(dir / "cache/tbx", error)) << error;
    const cache::Place place(root, kId);
    const std::unique_ptr<cache::Aside> aside = cache::Aside::make(place, kToc, error);
    ASSERT_TRUE(aside) << error;
    if (read)
        read(aside->folder());
    std::vector<long> damaged = {0, 0, samples};
    ASSERT_TRUE(aside->keep(kToc, damaged, error)) << error;
}

const std::vector<std::string> kFiles = {"toc", "track01.dat", "track02.mp3", "track03.mp3"};

struct Mark {
    const char *name;
    std::function<void(std::string &table)> edit;
    std::optional<std::vector<long>> kept;
};

const std::string kMark = "damaged track03.mp3 1234\n";

// What the table says of a damaged track is believed only as the read
// writes it: last, once a track, of an audio track.
const Mark kMarks[] = {
    {"as_kept", [](std::string &) {}, std::vector<long>{0, 0, 1234}},
    {"taken_out", [](std::string &t) { t.erase(t.find(kMark)); }, std::vector<long>{0, 0, 0}},
    {"twice", [](std::string &t) { t += kMark; }, std::nullopt},
    {"not_a_number", [](std::string &t) { t.replace(t.find("1234"), 4, "lots"); }, std::nullopt},
    {"of_a_data_track", [](std::string &t) { t += "damaged track01.dat 10\n"; }, std::nullopt},
    {"before_the_files",
     [](std::string &t) {
         t.erase(t.find(kMark));
         t.insert(t.find("track01.dat"), kMark);
     },
     std::nullopt},
};

class Marked : public ::testing::TestWithParam<Mark> {};

TEST_P(Marked, IsBelievedOnlyAsWritten)
{
    const TempDir dir;
    keep_damaged(dir, 1234);
    const std::string toc = dir / "cache/tbx/" + kId + "/toc";
    std::string table = read_file(toc);
    ASSERT_NE(table.find(kMark), std::string::npos) << table;
    GetParam().edit(table);
    std::ofstream(toc) << table;
    std::string error;
    cache::Root root;
    ASSERT_TRUE(root.open(dir / "cache/tbx", error)) << error;
    EXPECT_EQ(cache::Place(root, kId).kept(kToc), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(Cache, Marked, ::testing::ValuesIn(kMarks), ByName());

struct Again {
    const char *name;
    long now;       // samples read with errors, read again
    bool new_kept;  // the new reading is kept, else the one before
    int exchange;   // what a swap in one step answers
    bool kept = true; // false: stopped before it is kept
    int move = 0;     // what the move into place answers, once
};

const Again kAgains[] = {
    {"exact_now", 0, true, 0},
    {"fewer_errors", 500, true, 0},
    {"more_errors", 2000, false, 0},
    {"as_many_errors", 1234, false, 0},
    {"exact_now_where_the_swap_is_refused", 0, true, EPERM},
    // The disc stays as it was kept.
    {"stopped_before_it_is_kept", 0, false, 0, false},
    {"moved_into_place_on_a_failing_disk", 0, false, EPERM, true, EIO},
};

class ReadAgain : public ::testing::TestWithParam<Again> {};

ino_t inode(const std::string &path)
{
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_P(ReadAgain, KeepsTheBetterReadingAndTheRestAsItWas)
{
    const Again &a = GetParam();
    const TempDir dir;
    keep_damaged(dir, 1234);
    const std::string folder = dir / "cache/tbx/" + kId;
    const ino_t other = inode(folder + "/track02.mp3"), before = inode(folder + "/track03.mp3");
    std::string error;
    cache::Root root;
    ASSERT_TRUE(root.open(dir / "cache/tbx", error)) << error;
    const cache::Place place(root, kId);
    ino_t read = 0;
    {
        const std::unique_ptr<cache::Aside> aside =
            cache::Aside::again(place, kToc, {false, false, true}, {0, 0, 1234}, error);
        ASSERT_TRUE(aside) << error;
        ASSERT_TRUE(mp3::write_stand_in(aside->fd(), cache::being_read(2), 150));
        read = inode(aside->folder() + "/" + cache::being_read(2));
        std::vector<long> damaged = {0, 0, a.now};
        exchange_error = a.exchange;
        move_error = a.move;
        const bool kept = a.kept && aside->keep(kToc, damaged, error);
        exchange_error = move_error = 0;
        EXPECT_EQ(kept, a.kept && a.move == 0) << error;
        if (a.move != 0) {
            EXPECT_EQ("tbx-play: " + error + ".\n", said::cannot_write(folder, std::strerror(a.move)));
        }
    }
    EXPECT_EQ(place.kept(kToc), (std::vector<long>{0, 0, a.new_kept ? a.now : 1234}));
    EXPECT_EQ(inode(folder + "/track03.mp3"), a.new_kept ? read : before);
    EXPECT_EQ(inode(folder + "/track02.mp3"), other) << "a track not read again is the one kept";
    EXPECT_EQ(in_root(dir), (std::vector<std::string>{kId})) << "the folder read aside gone";
    EXPECT_EQ(names_in(folder), kFiles) << "the reading not kept gone";
}

INSTANTIATE_TEST_SUITE_P(Cache, ReadAgain, ::testing::ValuesIn(kAgains), ByName());

struct Tamper {
    const char *name;
    // What the read left in the folder read aside before it was kept
    // (read: true), or what became of the folder kept since.
    bool read;
    std::function<void(const TempDir &, const std::string &folder)> change;
};

// Where the disc kept was, a copy of its file outside the cache and a link to it.
void linked_out(const TempDir &dir, const std::string &folder, const std::string &name)
{
    fs::copy_file(folder + "/" + name, dir / "elsewhere/" + name);
    fs::remove(folder + "/" + name);
    fs::create_symlink(dir / "elsewhere/" + name, folder + "/" + name);
}

void fifo(const std::string &path)
{
    fs::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
}

const Tamper kTampered[] = {
    // As the table says of it, but not at its length, or not MPEG audio at all.
    {"track_cut_short", true,
     [](const TempDir &, const std::string &f) {
         fs::remove(f + "/track03.mp3");
         ASSERT_TRUE(mp3::write_stand_in(AT_FDCWD, f + "/track03.mp3", 100));
     }},
    {"track_not_mpeg_audio", true,
     [](const TempDir &, const std::string &f) {
         const std::string zeros(fs::file_size(f + "/track03.mp3"), '\0');
         std::ofstream(f + "/track03.mp3", std::ios::binary) << zeros;
     }},
    // Byte for byte what was kept, but not in the cache.
    {"track_a_link_outside", false, [](const TempDir &d, const std::string &f) { linked_out(d, f, "track03.mp3"); }},
    {"table_a_link_outside", false, [](const TempDir &d, const std::string &f) { linked_out(d, f, "toc"); }},
    // Empty as the data track's file is, and nothing a read should wait on.
    {"data_track_a_fifo", false, [](const TempDir &, const std::string &f) { fifo(f + "/track01.dat"); }},
    {"table_a_fifo", false, [](const TempDir &, const std::string &f) { fifo(f + "/toc"); }},
};

class Tampered : public ::testing::TestWithParam<Tamper> {};

// What the cache makes of the disc kept in folder. A read that waits on a
// fifo there fails the test within seconds rather than hang it: each fifo
// is then opened for writing and let go, which ends the read.
std::optional<std::vector<long>> kept_soon(const TempDir &dir, const std::string &folder)
{
    std::string error;
    cache::Root root;
    EXPECT_TRUE(root.open(dir / "cache/tbx", error)) << error;
    const cache::Place place(root, kId);
    std::future<std::optional<std::vector<long>>> asked =
        std::async(std::launch::async, [&] { return place.kept(kToc); });
    if (asked.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
        ADD_FAILURE() << "the read of the disc kept waits on a fifo";
        for (const auto &e : fs::directory_iterator(folder))
            if (fs::is_fifo(e.symlink_status()))
                close(open(e.path().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    }
    return asked.get();
}

TEST_P(Tampered, IsReadAgainAndNothingOutsideIsTouched)
{
    const Tamper &t = GetParam();
    const TempDir dir;
    elsewhere(dir);
    const std::string folder = dir / "cache/tbx/" + kId;
    keep_damaged(dir, 0, [&](const std::string &aside) {
        if (t.read)
            t.change(dir, aside);
    });
    if (!t.read)
        t.change(dir, folder);
    const std::map<std::string, std::string> before = outside(dir);

    EXPECT_EQ(kept_soon(dir, folder), std::nullopt);
    if (HasFailure())
        return;
    EXPECT_EQ(keep_a_disc(dir), "");
    EXPECT_EQ(outside(dir), before);
    EXPECT_EQ(names_in(folder), kFiles);
    for (const std::string &name : kFiles)
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder + "/" + name))) << name;
}

INSTANTIATE_TEST_SUITE_P(Cache, Tampered, ::testing::ValuesIn(kTampered), ByName());

// Another tbx-play, in a process of its own, that reads the disc into a
// folder beside its place (again: its damaged track again), and is killed
// there or reads on, its lock held, until this is destroyed. A second lock
// in this process would do while the lock is flock's, per open file; not
// were it fcntl's, which a process owns.
class Reading {
public:
    Reading(const TempDir &dir, bool again, bool killed)
    {
        int ready[2], go[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return;
        if (pipe2(go, O_CLOEXEC) != 0) {
            close(ready[0]);
            close(ready[1]);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(go[1]);
            std::string error;
            cache::Root root;
            const cache::Place place(root, kId);
            cache::Place::Lock lock(place);
            std::unique_ptr<cache::Aside> aside;
            if (root.open(dir / "cache/tbx", error) && lock.take(error) == cache::Place::Lock::Taken::Yes)
                aside = again ? cache::Aside::again(place, kToc, {false, false, true}, {0, 0, 1234}, error)
                              : cache::Aside::make(place, kToc, error);
            char said = aside ? 'y' : 'n';
            // As a kill ends it, _exit takes nothing out; the lock goes with the process.
            if (write(ready[1], &said, 1) == 1 && !killed)
                while (read(go[0], &said, 1) < 0 && errno == EINTR) {
                }
            _exit(0);
        }
        close(ready[1]);
        close(go[0]);
        go_ = go[1];
        char said = 'n';
        ready_ = pid_ > 0 && read(ready[0], &said, 1) == 1 && said == 'y';
        close(ready[0]);
        if (killed)
            stop();
    }
    ~Reading() { stop(); }
    Reading(const Reading &) = delete;
    Reading &operator=(const Reading &) = delete;
    bool ready() const { return ready_; }

private:
    void stop()
    {
        if (go_ >= 0)
            close(go_);
        go_ = -1;
        if (pid_ > 0)
            waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    int go_ = -1;
    bool ready_ = false;
};

struct Leftover {
    const char *name;
    bool again;   // a read again of a disc kept with a damaged track, else a first read
    bool killed;  // else still reading
};

const Leftover kLeftovers[] = {
    {"read_killed", false, true},
    {"read_running", false, false},
    {"read_again_killed", true, true},
    {"read_again_running", true, false},
};

class Swept : public ::testing::TestWithParam<Leftover> {};

TEST_P(Swept, IsWhatAKilledRunLeftAndNothingARunningOneHolds)
{
    const Leftover &l = GetParam();
    const TempDir dir;
    if (l.again)
        keep_damaged(dir, 1234);
    const Reading reading(dir, l.again, l.killed);
    ASSERT_TRUE(reading.ready());
    const std::map<std::string, std::string> before = tree(dir / "cache/tbx");
    ASSERT_EQ(in_root(dir).size(), 3U) << "the place, its lock and the folder read aside";
    std::string error;
    cache::Root root;
    ASSERT_TRUE(root.open(dir / "cache/tbx", error)) << error;

    cache::sweep(root);
    if (!l.killed) {
        EXPECT_EQ(tree(dir / "cache/tbx"), before);
        return;
    }
    if (!l.again) {
        EXPECT_EQ(in_root(dir), (std::vector<std::string>{kId + ".lock"}));
        return;
    }
    // The disc kept before stays as kept.
    EXPECT_EQ(in_root(dir), (std::vector<std::string>{kId, kId + ".lock"}));
    EXPECT_EQ(cache::Place(root, kId).kept(kToc), (std::vector<long>{0, 0, 1234}));
}

INSTANTIATE_TEST_SUITE_P(Cache, Swept, ::testing::ValuesIn(kLeftovers), ByName());

} // namespace
