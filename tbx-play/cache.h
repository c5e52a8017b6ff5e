#ifndef TBX_PLAY_CACHE_H
#define TBX_PLAY_CACHE_H

// The discs read before, in ${XDG_CACHE_HOME:-~/.cache}/tbx: a folder per
// disc, named by its disc ID, as sdl12-compat's emulated drive reads it
// (track01.mp3, ..., an empty trackNN.dat for a data track) with the table
// of contents beside the tracks. A disc is read aside, beside its place, and
// moved into it only once every track is whole; a lock file per disc keeps
// two runs from reading one disc at once.
#include <memory>
#include <string>

#include "disc.h"

namespace cache {

// The cache's folder, made if need be; "" with error set if it cannot be.
std::string root(std::string &error);

// What a failed write of path, in the cache at root, is called, wherever it
// happens: a full disk is named as such, with the cache's folder.
std::string write_failure(const std::string &root, const std::string &path, int error);

// Track i's file (from 0, as tbx counts tracks) in a disc's folder.
std::string track_file(const std::string &folder, size_t i, bool audio);
// Where audio track i is written as it is read, until it takes its
// stand-in's place.
std::string being_read(const std::string &folder, size_t i);

// A disc's place in the cache.
class Place {
public:
    Place(std::string root, std::string id) : root_(std::move(root)), id_(std::move(id)) {}
    const std::string &root() const { return root_; }
    std::string folder() const { return root_ + "/" + id_; }

    // The disc is kept there whole: its table matches, and every track is
    // there at its length.
    bool whole(const disc::Toc &toc) const;
    // Takes out whatever is there; false with errno set if it cannot.
    bool clear() const;

    // This disc's lock, held until released or destroyed.
    class Lock {
    public:
        explicit Lock(const Place &place);
        ~Lock();
        Lock(const Lock &) = delete;
        Lock &operator=(const Lock &) = delete;
        // False while another run holds it.
        bool take();
        void release();
        // Why its file could not be opened, 0 if it could.
        int error() const { return error_; }

    private:
        int fd_;
        int error_;
        bool held_ = false;
    };

private:
    std::string root_;
    std::string id_;
};

// Takes out what runs that were killed left: read-aside folders of discs
// that nobody is reading now.
void sweep(const std::string &root);

// A disc being read: a folder beside its place, holding an empty file for
// each data track and a silent stand-in of the right length for each audio
// track until it is read, and linked from its place so that tbx plays it
// from there. Taken out again, link and all, unless kept.
class Aside {
public:
    // nullptr, with error set, if it cannot be made.
    static std::unique_ptr<Aside> make(const Place &place, const disc::Toc &toc, std::string &error);
    ~Aside();
    Aside(const Aside &) = delete;
    Aside &operator=(const Aside &) = delete;

    const std::string &folder() const { return folder_; }
    // Puts audio track i, as far as it is read, in its stand-in's place;
    // false with errno set if it cannot.
    bool put(size_t i) const;
    // Writes the table beside the tracks and moves the folder into its
    // place; false with error set if it cannot.
    bool keep(const disc::Toc &toc, std::string &error);

private:
    Aside(const Place &place, std::string folder) : place_(place), folder_(std::move(folder)) {}

    const Place &place_;
    std::string folder_;
    bool linked_ = false;
    bool kept_ = false;
};

} // namespace cache

#endif
