#ifndef TBX_TESTS_SOUND_SERVER_H
#define TBX_TESTS_SOUND_SERVER_H

// A sound server of the test's own, as a desktop runs one, in user space
// with a private runtime folder: PulseAudio, or PipeWire (with its
// session bus, WirePlumber and its PulseAudio server). It plays into a null
// sink named tbx, at 44100 Hz, 16-bit stereo, the graph's clock too, so that
// nothing is resampled: the sink's monitor gives what the player sent. No
// sound card is touched, and nothing of a developer's own session is used.
// Every process started is stopped and waited for when done, and killed
// should the test's process die first (process.h's Background).
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

namespace sound {

enum class Server { PulseAudio, PipeWire };

// SDL's output for a server: its own PulseAudio driver (through
// pipewire-pulse on PipeWire), or SDL2's PipeWire driver.
enum class Driver { PulseAudio, PipeWire };

class Session {
public:
    // Started and ready to play, or error() says what went wrong.
    explicit Session(Server server);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    const std::string &error() const { return error_; }
    // Its runtime folder, which every process of it has as XDG_RUNTIME_DIR.
    const std::string &folder() const;
    // The environment a player needs to play into the sink through driver.
    Env player(Driver driver) const;
    // What the servers said, for a failure's message.
    std::string logs() const;

    // The sink's monitor recorded into a file, raw, 16-bit stereo at
    // 44100 Hz, from construction until stop().
    class Recording {
    public:
        Recording(const Session &session, const std::string &path);
        ~Recording();
        Recording(const Recording &) = delete;
        Recording &operator=(const Recording &) = delete;
        // Whether the recording has begun: its first samples are in the file.
        bool begun() const { return begun_; }
        // Ends it, once what the server still holds is in the file.
        void stop();
        // Seconds from the recording's first frame to a time on
        // steady_clock, as best the file's growth shows.
        double at(std::chrono::steady_clock::time_point when) const;

    private:
        void watch();

        std::string path_;
        std::unique_ptr<Background> parec_;
        std::atomic<bool> begun_{false}, done_{false};
        // steady_clock's nanoseconds at the recording's first frame, from
        // the earliest moment each part of it was seen in the file.
        std::atomic<long long> first_frame_ns_{0};
        std::thread watcher_;
    };

private:
    Env servers_env() const;
    Exit pactl(const std::vector<std::string> &arguments) const;
    bool start(const std::string &name, std::vector<std::string> argv, const std::string &ready);
    void start_pulseaudio();
    void start_pipewire();

    Server server_;
    TempDir dir_;
    std::string pulse_socket_;
    std::vector<std::unique_ptr<Background>> processes_; // stopped in the reverse order
    std::string error_;
};

// argv run ahead of the machine's other work (niceness -15, where it may),
// as a desktop runs its sound at real-time priority: builds and other tests
// beside it must not starve the servers or the player, and be taken for
// its faults.
std::vector<std::string> first_served(std::vector<std::string> argv);

// The player's name for driver in SDL_AUDIODRIVER.
const char *sdl_name(Driver driver);

} // namespace sound

#endif
