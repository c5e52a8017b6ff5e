#include "tbx.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <thread>

extern char **environ;

namespace {

std::string from_environment(const char *name, const std::string &otherwise)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : otherwise;
}

// This environment, with set's variables set.
std::vector<std::string> environment(const std::vector<std::pair<std::string, std::string>> &set)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto &[name, value] : set)
            replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced)
            env.push_back(entry);
    }
    for (const auto &[name, value] : set)
        env.push_back(std::string(name).append("=").append(value));
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> p(strings.size() + 1, nullptr);
    std::transform(strings.begin(), strings.end(), p.begin(), [](std::string &s) { return s.data(); });
    return p;
}

// The folder of the C library, where the system's libraries are, as the
// loader found it; "" where it cannot tell.
std::string system_libraries()
{
    void *libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    link_map *map = nullptr;
    std::string folder;
    if (libc != nullptr && dlinfo(libc, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
        char *real = realpath(map->l_name, nullptr);
        if (real != nullptr)
            folder = real;
        std::free(real);
    }
    if (libc != nullptr)
        dlclose(libc);
    const size_t slash = folder.rfind('/');
    return slash == std::string::npos ? "" : folder.substr(0, slash);
}

} // namespace

std::pair<std::string, std::string> libraries_first(const std::string &folder)
{
    const std::string rest = from_environment("LD_LIBRARY_PATH", "");
    return {"LD_LIBRARY_PATH", rest.empty() ? folder : folder + ":" + rest};
}

Compat find_compat(const std::string &libraries)
{
    // Told by its file's name, without loading it (sdl12-compat would load
    // SDL2 into us): sdl12-compat names it by its own version,
    // libSDL-1.2.so.1.2.N; classic SDL 1.2.15's is libSDL-1.2.so.0.11.4.
    char *real = realpath((libraries + "/libSDL-1.2.so.0").c_str(), nullptr);
    const std::string system = real != nullptr ? real : "";
    std::free(real);
    if (system.substr(system.rfind('/') + 1).rfind("libSDL-1.2.so.1.", 0) == 0)
        return {libraries, "libsdl1.2debian"};
    // With no SDL 1.2 at all, which release this is cannot be told.
    return {libraries + "/sdl12-compat",
            system.empty() ? "libsdl1.2-compat, or libsdl1.2debian where there is no libsdl1.2-compat"
                           : "libsdl1.2-compat"};
}

Runtimes Runtimes::find()
{
    Runtimes r;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string beside = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
    beside.replace(beside.rfind('/') + 1, std::string::npos, "tbx");
    r.tbx = from_environment("TBX", access(beside.c_str(), X_OK) == 0 ? beside : "tbx");
    const Compat compat = find_compat(system_libraries());
    r.compat = from_environment("TBX_COMPAT_SDL", compat.folder);
    r.compat_package = compat.package;
    r.classic = from_environment("TBX_CLASSIC_SDL", "");
    return r;
}

bool sound_in_real_time()
{
    // SDL2's delay a buffer, and SDL3's time scale, under sdl2-compat.
    return from_environment("SDL_AUDIODRIVER", "") != "disk" ||
           (from_environment("SDL_DISKAUDIODELAY", "").empty() && from_environment("SDL_AUDIO_DISK_TIMESCALE", "").empty());
}

bool Runtimes::compat_installed() const { return access((compat + "/libSDL-1.2.so.0").c_str(), R_OK) == 0; }

void exec_tbx(const std::string &tbx, const std::vector<std::pair<std::string, std::string>> &set, const sigset_t &mask)
{
    std::vector<std::string> env = environment(set);
    std::vector<std::string> argv = {tbx};
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    signal(SIGPIPE, SIG_DFL);
    // tbx needs nothing of ours open, least of all the drive, whose tray
    // stays locked while anyone holds it.
    close_range(3, ~0U, 0);
    execvpe(tbx.c_str(), pointers(argv).data(), pointers(env).data());
    std::fprintf(stderr, "tbx-play: %s.\n", cannot_run(tbx, errno).c_str());
    std::exit(1);
}

std::string cannot_run(const std::string &tbx, int error) { return "cannot run " + tbx + ": " + std::strerror(error); }

std::unique_ptr<Tbx> Tbx::start(const Runtimes &runtimes, const std::string &folder, const sigset_t &mask, bool held,
                                std::string &error)
{
    std::unique_ptr<Tbx> t(new Tbx);
    // SDL2 would turn Ctrl-C into an event tbx never reads, and play on.
    std::vector<std::string> env = environment(
        {libraries_first(runtimes.compat), {"SDL12COMPAT_FAKE_CDROM_PATH", folder}, {"SDL_NO_SIGNAL_HANDLERS", "1"}});
    std::vector<std::string> argv = {runtimes.tbx};
    std::vector<char *> envp = pointers(env), args = pointers(argv);
    // What could not be done, and why.
    const auto failed = [&](const std::string &what, int code) {
        error = what + ": " + std::strerror(code);
        return nullptr;
    };
    if (pipe2(t->out_, O_CLOEXEC) != 0 || pipe2(t->err_, O_CLOEXEC | O_NONBLOCK) != 0)
        return failed("cannot make a pipe for tbx", errno);
    // A small pipe fills with little, where the system lets it be small;
    // reading it never blocks.
    fcntl(t->out_[1], F_SETPIPE_SZ, 4096);
    if (fcntl(t->out_[0], F_SETFL, O_NONBLOCK) != 0)
        return failed("cannot make tbx's output a pipe that never blocks", errno);
    t->filler_ = open(("/proc/self/fd/" + std::to_string(t->out_[1])).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (t->filler_ < 0)
        return failed("cannot open tbx's output again through /proc", errno);
    if (held)
        t->hold();
    // Where the child tells why exec failed; a successful exec closes it
    // unwritten.
    int exec_failed[2];
    if (pipe2(exec_failed, O_CLOEXEC) != 0)
        return failed("cannot make a pipe for tbx", errno);
    const pid_t parent = getpid();
    t->pid_ = fork();
    if (t->pid_ == 0) {
        // Only what is safe between fork and exec: it dies with us, even by kill -9.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        signal(SIGPIPE, SIG_DFL);
        dup2(t->out_[1], STDOUT_FILENO);
        dup2(t->err_[1], STDERR_FILENO);
        // All of ours but the way to tell of a failed exec.
        close_range(3, static_cast<unsigned>(exec_failed[1]) - 1, 0);
        close_range(static_cast<unsigned>(exec_failed[1]) + 1, ~0U, 0);
        execvpe(args[0], args.data(), envp.data());
        const int why = errno;
        [[maybe_unused]] const ssize_t told = write(exec_failed[1], &why, sizeof why);
        _exit(127);
    }
    const int fork_error = errno;
    close(exec_failed[1]);
    close(t->out_[1]);
    close(t->err_[1]);
    t->out_[1] = t->err_[1] = -1;
    if (t->pid_ < 0) {
        close(exec_failed[0]);
        return failed("cannot start tbx", fork_error);
    }
    int why = 0;
    ssize_t n;
    while ((n = read(exec_failed[0], &why, sizeof why)) < 0 && errno == EINTR) {
    }
    close(exec_failed[0]);
    if (n == sizeof why) {
        error = cannot_run(runtimes.tbx, why);
        return nullptr;
    }
    return t;
}

Tbx::~Tbx()
{
    end();
    for (const int fd : {out_[0], out_[1], err_[0], err_[1], filler_})
        if (fd >= 0)
            close(fd);
}

void Tbx::hold()
{
    // tbx's next line cannot go into a full pipe. The filling is NUL bytes,
    // which tbx never writes, and which the reader drops.
    static const char zeros[4096] = {};
    for (size_t size = sizeof zeros; size > 0; size /= 2)
        while (write(filler_, zeros, size) > 0) {
        }
    held_ = true;
}

void Tbx::release() { held_ = false; }

void Tbx::pause()
{
    // Again each time: a shell's fg may have continued it.
    if (pid_ > 0 && !status_)
        kill(pid_, SIGSTOP);
    paused_ = true;
}

void Tbx::resume()
{
    if (pid_ > 0 && !status_)
        kill(pid_, SIGCONT);
    paused_ = false;
}

std::string Tbx::take()
{
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(out_[0], buffer, sizeof buffer)) > 0;)
        for (ssize_t i = 0; i < n; ++i)
            if (buffer[i] != '\0')
                text += buffer[i];
    return text;
}

std::string Tbx::take_err()
{
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(err_[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

std::optional<int> Tbx::ended()
{
    int ws = 0;
    if (!status_ && pid_ > 0 && waitpid(pid_, &ws, WNOHANG) == pid_)
        status_ = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    return status_;
}

int Tbx::end()
{
    if (pid_ <= 0 || ended())
        return status_.value_or(0);
    kill(pid_, SIGTERM);
    // A stopped tbx takes it only once it goes on.
    kill(pid_, SIGCONT);
    for (int waited = 0; !ended() && waited < 50; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!ended()) {
        kill(pid_, SIGKILL);
        int ws = 0;
        waitpid(pid_, &ws, 0);
        status_ = 128 + SIGKILL;
    }
    return *status_;
}
