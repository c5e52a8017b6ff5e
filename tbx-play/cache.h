#ifndef TBX_PLAY_CACHE_H
#define TBX_PLAY_CACHE_H

// The discs read before, in ${XDG_CACHE_HOME:-~/.cache}/tbx: a folder per
// disc, named by its disc ID, as sdl12-compat's emulated drive reads it
// (track01.mp3, ..., an empty trackNN.dat for a data track) with the table
// of contents beside the tracks, each file's size and checksum after it,
// and last the tracks read with errors, each with how many samples. A disc
// is read aside, beside its place, and moved into it only once every track
// is whole; so is a disc whose damaged tracks are read again, the others
// linked from its place. A lock file per disc keeps two runs from reading
// one disc at once.
//
// The cache's folder is the user's alone, held open and never followed
// through a symbolic link; everything in it is made, opened and removed
// relative to it, so that nothing outside it is ever touched. Whatever can
// fail says so with false (or nullptr) and the whole message in error.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disc.h"

namespace cache {

// The cache's folder, open.
class Root {
public:
    Root() = default;
    ~Root();
    Root(const Root &) = delete;
    Root &operator=(const Root &) = delete;

    // ${XDG_CACHE_HOME:-~/.cache}/tbx.
    static std::string where();
    // Opens path, made if need be (0700, the levels above it as mkdir -p
    // makes them); false if it cannot be, or if it is a symbolic link,
    // another user's, or writable by others.
    bool open(const std::string &path, std::string &error);
    const std::string &path() const { return path_; }
    int fd() const { return fd_; }

private:
    std::string path_;
    int fd_ = -1;
};

// What a failed write of path, in the cache at root, is called, wherever it
// happens: a full disk is named as such, with the cache's folder.
std::string write_failure(const std::string &root, const std::string &path, int error);

// Track i's file's name (from 0, as tbx counts tracks), and its path in a
// disc's folder.
std::string track_name(size_t i, bool audio);
std::string track_file(const std::string &folder, size_t i, bool audio);
// What audio track i's file is named as it is read, until it takes its
// stand-in's place.
std::string being_read(size_t i);

// A disc's place in the cache.
class Place {
public:
    Place(const Root &root, std::string id) : root_(root), id_(std::move(id)) {}
    const std::string &root() const { return root_.path(); }
    std::string folder() const { return root_.path() + "/" + id_; }
    const std::string &id() const { return id_; }

    // The disc as kept there: its table matches, and every track is there
    // at its length, with the size and checksum it was kept with; each
    // track's samples read with errors (0: exact). nullopt where it is not.
    std::optional<std::vector<long>> kept(const disc::Toc &toc) const;
    // Kept there, every track exact.
    bool whole(const disc::Toc &toc) const;
    // Takes out whatever is there.
    bool clear(std::string &error) const;

    // This disc's lock, held until released or destroyed.
    class Lock {
    public:
        explicit Lock(const Place &place) : place_(place) {}
        ~Lock();
        Lock(const Lock &) = delete;
        Lock &operator=(const Lock &) = delete;
        enum class Taken { Yes, Held, Failed };
        // Held while another run holds it; Failed, with error set, where
        // its file cannot be opened or locked at all.
        Taken take(std::string &error);
        void release();

    private:
        const Place &place_;
        int fd_ = -1;
        bool held_ = false;
    };

private:
    friend class Aside;
    const Root &root_;
    std::string id_;
};

// Takes out what runs that were killed left: read-aside folders of discs
// that nobody is reading now.
void sweep(const Root &root);

// A disc being read: a folder beside its place, holding an empty file for
// each data track and a silent stand-in of the right length for each audio
// track until it is read, and linked from its place so that tbx plays it
// from there. Or, where the disc is kept with damaged tracks that are read
// again, the kept folder's other files linked in, its place left as it is
// for tbx to play meanwhile. Taken out again, link and all, unless kept.
class Aside {
public:
    // nullptr, with error set, if it cannot be made.
    static std::unique_ptr<Aside> make(const Place &place, const disc::Toc &toc, std::string &error);
    // For the tracks marked in wanted read again, the rest kept as before;
    // damaged: what Place::kept() says of each.
    static std::unique_ptr<Aside> again(const Place &place, const disc::Toc &toc, const std::vector<bool> &wanted,
                                        std::vector<long> damaged, std::string &error);
    ~Aside();
    Aside(const Aside &) = delete;
    Aside &operator=(const Aside &) = delete;

    const std::string &folder() const { return folder_; }
    // Whether it holds tracks read again, and what was kept of each before.
    bool again() const { return !again_.empty(); }
    const std::vector<long> &before() const { return before_; }
    // Puts audio track i, as far as it is read, in its stand-in's place;
    // false, with error set, if it cannot.
    bool put(size_t i, std::string &error) const;
    // The folder, open, for writing into it wherever the path may lead.
    int fd() const { return fd_; }
    // Writes the table, with each file's size and checksum and each
    // track's samples read with errors (by played track, as the reader
    // counts them), beside the tracks and moves the folder into its place;
    // false with error set if it cannot. A track read again is kept as read
    // again only where it has fewer errors than before; damaged then holds
    // what is kept.
    bool keep(const disc::Toc &toc, std::vector<long> &damaged, std::string &error);

private:
    Aside(const Place &place, std::string name);
    static std::unique_ptr<Aside> folder_beside(const Place &place, std::string &error);
    bool take_again(const disc::Toc &toc, std::vector<long> &damaged, std::string &error) const;
    bool swap(std::string &error);

    const Place &place_;
    std::string name_; // in the cache's folder
    std::string folder_;
    int fd_ = -1;
    bool linked_ = false;
    bool kept_ = false;
    // Read again: the tracks read, and what was kept of each before.
    std::vector<bool> again_;
    std::vector<long> before_;
};

} // namespace cache

#endif
