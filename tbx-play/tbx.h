#ifndef TBX_PLAY_TBX_H
#define TBX_PLAY_TBX_H

// tbx, unchanged, as a child: on sdl12-compat's drive emulated from a folder
// of the disc's tracks, its output passed on line by line; or in our place,
// where there is nothing for us to read.
#include <signal.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Where sdl12-compat is on a system whose libraries are in the folder
// libraries: the system's SDL 1.2 itself where that is sdl12-compat, else
// sdl12-compat's own folder there; and the package that installs it.
struct Compat {
    std::string folder;
    std::string package;
};
Compat find_compat(const std::string &libraries);

// Which tbx, and where each SDL 1.2 runtime is: TBX, TBX_COMPAT_SDL and
// TBX_CLASSIC_SDL, or what is found on this system.
struct Runtimes {
    std::string tbx;            // the tbx beside tbx-play, else tbx on the PATH
    std::string compat;         // sdl12-compat's folder
    std::string compat_package; // what installs it here
    std::string classic;        // classic SDL's folder; "": the system's SDL 1.2
    static Runtimes find();
    bool compat_installed() const;
};

// LD_LIBRARY_PATH with folder first, where the loader looks first.
std::pair<std::string, std::string> libraries_first(const std::string &folder);

// That the tbx at path cannot be run, and why (an errno).
std::string cannot_run(const std::string &tbx, int error);

// Runs tbx in this process's place, with variables set (name, value) and
// the signal mask it had before ours; names a tbx that cannot be run, and
// exits 1.
[[noreturn]] void exec_tbx(const std::string &tbx, const std::vector<std::pair<std::string, std::string>> &set,
                           const sigset_t &mask);

// Whether the sound tbx makes plays in real time: SDL's disk audio driver
// with a delay or time scale of its own writes at that pace instead, often
// far faster.
bool sound_in_real_time();

class Tbx {
public:
    // tbx playing the disc in folder on sdl12-compat; held from the start,
    // before its first line, if so asked; nullptr, with error set, where it
    // could not be started.
    static std::unique_ptr<Tbx> start(const Runtimes &runtimes, const std::string &folder, const sigset_t &mask,
                                      bool held, std::string &error);
    // Ends it, as end() does.
    ~Tbx();
    Tbx(const Tbx &) = delete;
    Tbx &operator=(const Tbx &) = delete;

    pid_t pid() const { return pid_; }
    // Its standard output, and its standard error.
    int out() const { return out_[0]; }
    int err() const { return err_[0]; }
    // Holds tbx at its next line, and so before the next track, which it
    // commands only once that track's line is out; until release().
    void hold();
    void release();
    bool held() const { return held_; }
    // Stops it where it is, sound and all, until resume().
    void pause();
    void resume();
    bool paused() const { return paused_; }
    // What it has written since on its standard output, without the
    // filling, or on its standard error.
    std::string take();
    std::string take_err();
    // Its exit status (128 and the signal for one that ended it) once it has ended.
    std::optional<int> ended();
    // Ends it at once: asked, then made to.
    int end();

private:
    Tbx() = default;

    pid_t pid_ = -1;
    int out_[2] = {-1, -1};
    int err_[2] = {-1, -1};
    int filler_ = -1; // a second way into the pipe, which never blocks
    bool held_ = false;
    bool paused_ = false;
    std::optional<int> status_;
};

#endif
