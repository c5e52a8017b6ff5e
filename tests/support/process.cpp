#include "process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

TempDir::TempDir(const std::string &parent)
{
    std::string name = parent + "/tbx-test-XXXXXX";
    if (mkdtemp(name.data()) == nullptr)
        std::abort();
    path_ = name;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {

// In the child: fd becomes path, opened with flags.
void redirect(int fd, const std::string &path, int flags)
{
    const int opened = open(path.c_str(), flags, 0644);
    if (opened < 0 || dup2(opened, fd) < 0)
        _exit(126);
    if (opened != fd)
        close(opened);
}

// Up to limit bytes from fd, fewer if every writer has gone.
std::string read_up_to(int fd, long limit)
{
    std::string got;
    char buffer[4096];
    while (static_cast<long>(got.size()) < limit) {
        const long want = std::min(static_cast<long>(sizeof buffer), limit - static_cast<long>(got.size()));
        const ssize_t n = read(fd, buffer, static_cast<size_t>(want));
        if (n <= 0)
            break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

// In the child: the environment the program gets.
void choose_environment(const Env &env)
{
    std::istringstream chosen(RUN_VARIABLES);
    for (std::string name; chosen >> name;)
        unsetenv(name.c_str());
    for (const auto &[name, value] : env)
        value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
}

std::vector<char *> pointers(std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

} // namespace

Exit run_process(const Spawn &spawn)
{
    const TempDir dir;
    const std::string out = spawn.stdout_path.empty() ? dir / "out" : spawn.stdout_path;
    const std::string err = dir / "err";

    std::vector<std::string> args = spawn.argv;
    const std::vector<char *> argv = pointers(args);

    const bool piped = spawn.pipe_reader_takes.has_value();
    int terminal = -1, terminal_side = -1;
    if (spawn.terminal) {
        winsize size = {24, 100, 0, 0};
        if (openpty(&terminal, &terminal_side, nullptr, nullptr, &size) != 0) {
            Exit none;
            none.err = std::string("no terminal to run on: ") + std::strerror(errno);
            return none;
        }
        fcntl(terminal, F_SETFL, O_NONBLOCK);
        // ^S and ^Q hold its output and let it go, as on a user's terminal.
        termios modes;
        if (tcgetattr(terminal_side, &modes) == 0) {
            modes.c_iflag |= IXON;
            tcsetattr(terminal_side, TCSANOW, &modes);
        }
    }
    const long takes = spawn.pipe_reader_takes.value_or(0);
    int pipe_fds[2] = {-1, -1};
    if (piped) {
        // The smallest pipe there is, so that a reader who stops early is
        // noticed while the program still has lines to write.
        if (pipe(pipe_fds) != 0 || fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096) < 0)
            std::abort();
        // A reader gone before the start is gone before the child's first write.
        if (takes == 0)
            close(pipe_fds[0]);
    }

    const pid_t pid = fork();
    if (pid == 0) {
        // A hung run is ended by the alarm rather than hanging the suite.
        alarm(static_cast<unsigned>(spawn.timeout_s));
        // An ignored SIGPIPE would be inherited through exec.
        signal(SIGPIPE, SIG_DFL);
        redirect(0, "/dev/null", O_RDONLY);
        if (piped) {
            dup2(pipe_fds[1], 1);
            close(pipe_fds[1]);
            if (takes > 0)
                close(pipe_fds[0]);
        } else if (spawn.terminal) {
            // Its own session, with the terminal as its controlling one.
            setsid();
            ioctl(terminal_side, TIOCSCTTY, 0);
            dup2(terminal_side, 1);
            close(terminal);
            close(terminal_side);
        } else {
            redirect(1, out, O_WRONLY | O_CREAT | O_TRUNC);
        }
        if (spawn.terminal || spawn.err_to_out)
            dup2(1, 2);
        else
            redirect(2, err, O_WRONLY | O_CREAT | O_TRUNC);
        if (spawn.close_stdin)
            close(0);
        if (spawn.signal && spawn.signal->to_group && !spawn.terminal)
            setpgid(0, 0);
        if (spawn.user) {
            const rlimit tasks = {static_cast<rlim_t>(spawn.user->max_tasks), static_cast<rlim_t>(spawn.user->max_tasks)};
            if (setrlimit(RLIMIT_NPROC, &tasks) != 0 || setgroups(0, nullptr) != 0 || setgid(spawn.user->uid) != 0 ||
                setuid(spawn.user->uid) != 0)
                _exit(126);
        }
        choose_environment(spawn.env);
        execv(argv[0], argv.data());
        _exit(127);
    }

    Exit e;
    if (piped) {
        close(pipe_fds[1]);
        if (takes > 0) {
            e.out = read_up_to(pipe_fds[0], takes);
            close(pipe_fds[0]);
        }
    }
    if (spawn.terminal)
        close(terminal_side);
    // What the program has written so far, as Exit::out will hold it.
    const auto written = [&] {
        if (spawn.terminal) {
            char buffer[4096];
            for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;)
                e.out.append(buffer, static_cast<size_t>(n));
            return e.out;
        }
        return read_file(out) + read_file(err);
    };
    using Clock = std::chrono::steady_clock;
    const Clock::time_point started = Clock::now();
    std::optional<Clock::time_point> signalled;
    // Whether it has written text, and when holds.
    const auto once = [&](const std::string &text, const std::function<bool()> &when) {
        return written().find(text) != std::string::npos && (!when || when());
    };
    size_t keys = 0; // typed so far
    int wstatus = 0;
    while (waitpid(pid, &wstatus, spawn.terminal || spawn.signal ? WNOHANG : 0) == 0) {
        if (spawn.terminal && keys < spawn.typed.size() && once(spawn.typed[keys].once_written, spawn.typed[keys].when)) {
            const std::string &k = spawn.typed[keys++].keys;
            if (write(terminal, k.data(), k.size()) != static_cast<ssize_t>(k.size()))
                std::abort();
        }
        if (spawn.signal && !signalled && Clock::now() - started >= std::chrono::milliseconds(spawn.signal->after_ms) &&
            once(spawn.signal->once_written, spawn.signal->when)) {
            kill(spawn.signal->to_group ? -pid : pid, spawn.signal->number);
            signalled = Clock::now();
        } else if (spawn.terminal) {
            written();
        }
        usleep(2000);
    }
    if (signalled)
        e.signal_to_exit_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *signalled).count();

    e.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1000 + WTERMSIG(wstatus);
    if (spawn.terminal) {
        // What is left, until the terminal's last writer has gone, or a
        // second has passed without a word.
        pollfd p = {terminal, POLLIN, 0};
        char buffer[4096];
        for (ssize_t n = 1; n > 0 && poll(&p, 1, 1000) > 0;)
            if ((n = read(terminal, buffer, sizeof buffer)) > 0)
                e.out.append(buffer, static_cast<size_t>(n));
        close(terminal);
    } else if (spawn.stdout_path.empty() && !piped) {
        e.out = read_file(out);
    }
    e.err = read_file(err);
    return e;
}

Background::Background(const Spawn &spawn)
{
    std::vector<std::string> args = spawn.argv;
    const std::vector<char *> argv = pointers(args);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Killed with the test, however it ends; it may have ended already.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(126);
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);
        redirect(0, "/dev/null", O_RDONLY);
        redirect(1, spawn.stdout_path.empty() ? "/dev/null" : spawn.stdout_path, O_WRONLY | O_CREAT | O_TRUNC);
        dup2(1, 2);
        choose_environment(spawn.env);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // Its group is there before anything is sent to it.
    if (pid_ > 0)
        setpgid(pid_, pid_);
}

Background::~Background() { stop(); }

namespace {

// Whether the child has ended; left unreaped, so that its group's id is
// no one else's while its group is killed.
bool ended(pid_t pid)
{
    siginfo_t info = {};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

} // namespace

bool Background::running() { return pid_ > 0 && !ended(pid_); }

int Background::stop()
{
    if (pid_ <= 0)
        return status_;
    if (!ended(pid_)) {
        kill(-pid_, SIGTERM);
        for (int waited = 0; waited < 100 && !ended(pid_); ++waited)
            usleep(10000);
    }
    // It, if it would not go, and whatever else of its group is left.
    kill(-pid_, SIGKILL);
    int wstatus = 0;
    if (waitpid(pid_, &wstatus, 0) == pid_)
        status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1000 + WTERMSIG(wstatus);
    pid_ = -1;
    return status_;
}
