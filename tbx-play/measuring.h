#ifndef TBX_PLAY_MEASURING_H
#define TBX_PLAY_MEASURING_H

// Whether tbx has measured the tracks yet. sdl12-compat opens, reads and
// closes every track's file when tbx opens the drive, and takes each
// track's length from it then; a track read in part may take its
// stand-in's place only after that, or it would be measured short.
#include <string>
#include <vector>

class Measuring {
public:
    // The files named in folder, each to be read and closed once.
    Measuring(const std::string &folder, std::vector<std::string> names);
    ~Measuring();
    Measuring(const Measuring &) = delete;
    Measuring &operator=(const Measuring &) = delete;

    // What to wait on; -1 once done, or where the folder cannot be watched
    // (tracks then go in place only whole).
    int fd() const { return fd_; }
    // Takes what came; true once every file has been closed after reading.
    bool done();

private:
    int fd_;
    std::vector<std::string> left_;
};

#endif
