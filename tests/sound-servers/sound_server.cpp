#include "sound_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace sound {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char *kSink = "tbx";
constexpr int kRate = 44100;
// How long a server may take to be ready, in 10 ms steps.
constexpr int kReadySteps = 1000;

void write(const std::string &path, const std::string &text)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

long long nanoseconds(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// The graph's clock at the sink's rate, so that nothing is resampled.
const char *const kPipeWireConf = "context.properties = {\n"
                                  "    default.clock.rate = 44100\n"
                                  "    default.clock.allowed-rates = [ 44100 ]\n"
                                  "}\n";
// No devices, should the machine have any: the null sink alone.
// WirePlumber 0.4 reads Lua, 0.5 its own format; each ignores the other's.
const char *const kWirePlumber04 = "alsa_monitor.enabled = false\n"
                                   "v4l2_monitor.enabled = false\n"
                                   "libcamera_monitor.enabled = false\n";
const char *const kWirePlumber05 = "wireplumber.profiles = {\n"
                                   "  main = {\n"
                                   "    monitor.alsa = disabled\n"
                                   "    monitor.bluez = disabled\n"
                                   "    monitor.v4l2 = disabled\n"
                                   "    monitor.libcamera = disabled\n"
                                   "  }\n"
                                   "}\n";
const std::string kNullSink = "module-null-sink";
const std::string kNullSinkArguments = std::string("sink_name=") + kSink + " rate=44100 format=s16le channels=2";

} // namespace

std::vector<std::string> first_served(std::vector<std::string> argv)
{
    argv.insert(argv.begin(), {"/usr/bin/nice", "-n", "-15"});
    return argv;
}

const char *sdl_name(Driver driver) { return driver == Driver::PulseAudio ? "pulseaudio" : "pipewire"; }

Session::Session(Server server) : server_(server)
{
    write(dir_ / "client.conf", "autospawn = no\n");
    if (server == Server::PulseAudio)
        start_pulseaudio();
    else
        start_pipewire();
}

const std::string &Session::folder() const { return dir_.path(); }

Session::~Session()
{
    while (!processes_.empty())
        processes_.pop_back();
}

// Every place a server or a client looks for its files, its socket or its
// bus: the session's own folder.
Env Session::servers_env() const
{
    return {{"HOME", dir_.path()},
            {"XDG_RUNTIME_DIR", dir_.path()},
            {"XDG_CONFIG_HOME", dir_ / "config"},
            {"XDG_STATE_HOME", dir_ / "state"},
            {"XDG_DATA_HOME", dir_ / "data"},
            {"XDG_CACHE_HOME", dir_ / "cache"},
            {"PIPEWIRE_RUNTIME_DIR", dir_.path()},
            {"PULSE_RUNTIME_PATH", dir_ / "pulse"},
            {"PULSE_CLIENTCONFIG", dir_ / "client.conf"},
            {"PULSE_SERVER", "unix:" + pulse_socket_},
            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir_ / "bus"}};
}

Env Session::player(Driver driver) const
{
    Env env = {{"SDL_AUDIODRIVER", sdl_name(driver)},
               {"XDG_RUNTIME_DIR", dir_.path()},
               {"XDG_CONFIG_HOME", dir_ / "config"},
               {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir_ / "bus"},
               {"PULSE_CLIENTCONFIG", dir_ / "client.conf"}};
    if (driver == Driver::PulseAudio) {
        env["PULSE_SERVER"] = "unix:" + pulse_socket_;
        env["PULSE_SINK"] = kSink;
    } else {
        env["PIPEWIRE_RUNTIME_DIR"] = dir_.path();
        env["PIPEWIRE_REMOTE"] = "pipewire-0";
    }
    return env;
}

std::string Session::logs() const
{
    std::string all;
    for (const auto &f : fs::directory_iterator(dir_.path()))
        if (f.path().extension() == ".log") {
            const std::string log = read_file(f.path());
            all += "--- " + f.path().filename().string() + ":\n" + (log.size() > 3000 ? log.substr(log.size() - 3000) : log);
        }
    return all;
}

Exit Session::pactl(const std::vector<std::string> &arguments) const
{
    Spawn spawn;
    spawn.argv = {PACTL};
    spawn.argv.insert(spawn.argv.end(), arguments.begin(), arguments.end());
    spawn.env = servers_env();
    spawn.timeout_s = 10;
    return run_process(spawn);
}

bool Session::start(const std::string &name, std::vector<std::string> argv, const std::string &ready)
{
    Spawn spawn;
    spawn.argv = first_served(std::move(argv));
    spawn.env = servers_env();
    spawn.stdout_path = dir_ / (name + ".log");
    processes_.push_back(std::make_unique<Background>(spawn));
    Background &p = *processes_.back();
    for (int step = 0; step < kReadySteps && p.running() && !ready.empty() && !fs::exists(ready); ++step)
        usleep(10000);
    if (p.running() && (ready.empty() || fs::exists(ready)))
        return true;
    error_ = name + (p.running() ? " did not make " + ready + " in time" : " ended at once") + "\n" + logs();
    return false;
}

void Session::start_pulseaudio()
{
    pulse_socket_ = dir_ / "pulse-socket";
    // Run as root, it warns and goes on; its modules named one by one,
    // none of the system's own.
    if (!start("pulseaudio",
               {PULSEAUDIO, "-n", "--daemonize=no", "--use-pid-file=no", "--exit-idle-time=-1", "--log-target=stderr",
                "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + pulse_socket_, "-L", kNullSink + " " + kNullSinkArguments},
               pulse_socket_))
        return;
    const Exit info = pactl({"info"});
    if (info.status != 0)
        error_ = "PulseAudio does not answer: " + info.err + "\n" + logs();
}

void Session::start_pipewire()
{
    pulse_socket_ = dir_ / "pulse/native";
    write(dir_ / "config/pipewire/pipewire.conf.d/tbx.conf", kPipeWireConf);
    write(dir_ / "config/wireplumber/main.lua.d/51-tbx.lua", kWirePlumber04);
    write(dir_ / "config/wireplumber/wireplumber.conf.d/51-tbx.conf", kWirePlumber05);
    if (!start("dbus-daemon", {DBUS_DAEMON, "--session", "--nofork", "--nopidfile", "--address=unix:path=" + dir_ / "bus"},
               dir_ / "bus") ||
        !start("pipewire", {PIPEWIRE}, dir_ / "pipewire-0") || !start("wireplumber", {WIREPLUMBER}, "") ||
        !start("pipewire-pulse", {PIPEWIRE_PULSE}, pulse_socket_))
        return;
    // Its socket is there a moment before it has all it needs from PipeWire,
    // and a default is refused ("Not supported") until WirePlumber has made
    // the metadata that holds it: later on 0.5 than on 0.4.
    Exit loaded, chosen;
    for (int step = 0; step < kReadySteps && (loaded = pactl({"load-module", kNullSink, kNullSinkArguments})).status != 0;
         step += 10)
        usleep(100000);
    for (int step = 0; step < kReadySteps && loaded.status == 0 && (chosen = pactl({"set-default-sink", kSink})).status != 0;
         step += 10)
        usleep(100000);
    if (loaded.status != 0 || chosen.status != 0) {
        error_ = "pipewire-pulse made no null sink: " + loaded.err + chosen.err + "\n" + logs();
        return;
    }
    // WirePlumber has the streams play into it once it knows it as the default.
    for (int step = 0; step < kReadySteps; step += 10) {
        if (pactl({"info"}).out.find(std::string("Default Sink: ") + kSink + "\n") != std::string::npos)
            return;
        usleep(100000);
    }
    error_ = "WirePlumber did not take the null sink as the default\n" + logs();
}

Session::Recording::Recording(const Session &session, const std::string &path) : path_(path)
{
    Spawn spawn;
    // A latency that asks no smaller quantum of PipeWire's graph than a player does.
    spawn.argv = first_served({PAREC, std::string("--device=") + kSink + ".monitor", "--format=s16le", "--rate=44100",
                               "--channels=2", "--raw", "--latency-msec=100", path});
    spawn.env = session.servers_env();
    spawn.stdout_path = path + ".log";
    parec_ = std::make_unique<Background>(spawn);
    watcher_ = std::thread([this] { watch(); });
}

Session::Recording::~Recording() { stop(); }

void Session::Recording::watch()
{
    struct stat st = {};
    const char *path = path_.c_str();
    while (!done_) {
        if (stat(path, &st) == 0 && st.st_size >= 4) {
            // The file lags behind the sink: the least lag seen is the best guess.
            const long long first = nanoseconds(Clock::now()) - st.st_size / 4 * 1000000000LL / kRate;
            if (!begun_ || first < first_frame_ns_)
                first_frame_ns_ = first;
            begun_ = true;
        }
        usleep(2000);
    }
}

void Session::Recording::stop()
{
    if (!parec_)
        return;
    // What the server still holds, well past the latency asked for.
    usleep(500000);
    parec_.reset();
    done_ = true;
    watcher_.join();
}

double Session::Recording::at(Clock::time_point when) const
{
    return static_cast<double>(nanoseconds(when) - first_frame_ns_) / 1e9;
}

} // namespace sound
