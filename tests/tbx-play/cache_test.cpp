// tbx-play's cache where someone may have been before it: a folder of
// another user's, or one others may write to, a symbolic link where the
// folder, a lock, a disc's place or a folder read aside should be; a lock
// the file system will not take, a swap the kernel will not make. Each is
// refused or ignored, and nothing outside the cache's folder is made,
// written or removed.
#include <dlfcn.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

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

namespace {

namespace fs = std::filesystem;
namespace said = output::companion;

const std::string kId = "Disc-ID_of.a.disc-";
// A data track, then two short audio tracks.
const disc::Toc kToc{{{1, false, 0, 300}, {2, true, 300, 75}, {3, true, 375, 150}}};

// Every path under dir but the cache's own folder, with what it holds or
// where it leads.
std::map<std::string, std::string> outside(const TempDir &dir)
{
    std::map<std::string, std::string> seen;
    const std::string root = dir / "cache/tbx";
    std::error_code none;
    for (auto it = fs::recursive_directory_iterator(dir.path(), none); it != fs::recursive_directory_iterator();
         it.increment(none)) {
        const std::string path = it->path().string();
        const fs::file_status st = it->symlink_status();
        // The folder above it is made with it, as mkdir -p makes it.
        if (path == dir / "cache")
            continue;
        if (path == root && fs::is_directory(st)) {
            it.disable_recursion_pending();
            continue;
        }
        seen[path] = fs::is_symlink(st) ? "-> " + fs::read_symlink(path).string()
                     : fs::is_regular_file(st) ? read_file(path)
                                               : "folder";
    }
    return seen;
}

// The names in the cache's folder.
std::vector<std::string> in_root(const TempDir &dir)
{
    std::vector<std::string> names;
    std::error_code none;
    for (const auto &e : fs::directory_iterator(dir / "cache/tbx", none))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

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

// A disc kept as the read keeps it, its last track read with errors: so many samples.
void keep_damaged(const TempDir &dir, long samples)
{
    std::string error;
    cache::Root root;
    ASSERT_TRUE(root.open(dir / "cache/tbx", error)) << error;
    const cache::Place place(root, kId);
    const std::unique_ptr<cache::Aside> aside = cache::Aside::make(place, kToc, error);
    std::vector<long> damaged = {0, 0, samples};
    ASSERT_TRUE(aside && aside->keep(kToc, damaged, error)) << error;
}

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
};

const Again kAgains[] = {
    {"exact_now", 0, true, 0},
    {"fewer_errors", 500, true, 0},
    {"more_errors", 2000, false, 0},
    {"as_many_errors", 1234, false, 0},
    {"exact_now_where_the_swap_is_refused", 0, true, EPERM},
    // The disc stays as it was kept.
    {"stopped_before_it_is_kept", 0, false, 0, false},
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
        EXPECT_TRUE(!a.kept || aside->keep(kToc, damaged, error)) << error;
        exchange_error = 0;
    }
    EXPECT_EQ(place.kept(kToc), (std::vector<long>{0, 0, a.new_kept ? a.now : 1234}));
    EXPECT_EQ(inode(folder + "/track03.mp3"), a.new_kept ? read : before);
    EXPECT_EQ(inode(folder + "/track02.mp3"), other) << "a track not read again is the one kept";
    EXPECT_EQ(in_root(dir), (std::vector<std::string>{kId})) << "the folder read aside gone";
}

INSTANTIATE_TEST_SUITE_P(Cache, ReadAgain, ::testing::ValuesIn(kAgains), ByName());

} // namespace
