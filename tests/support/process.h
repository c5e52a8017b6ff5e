#ifndef TBX_TESTS_PROCESS_H
#define TBX_TESTS_PROCESS_H

// Runs programs in processes of their own, the way a shell would, for the
// tests: standard output and error captured, standard input from /dev/null,
// SIGPIPE at its default, and nothing from the tests' own environment that
// chooses an SDL runtime, a drive, a sound output or a tbx (scripts/lib.sh
// lists it) but what the test sets.
#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A fresh folder under /tmp (or under parent), removed with everything in it when done.
class TempDir {
public:
    explicit TempDir(const std::string &parent = "/tmp");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct Exit {
    std::string out;
    std::string err;
    int status = -1;          // the exit status, or 1000 + the signal that ended it
    long signal_to_exit_ms = -1; // with Spawn::signal: from the signal to the exit
};

using Env = std::map<std::string, std::optional<std::string>>;

struct Spawn {
    std::vector<std::string> argv; // argv[0] is the program's path
    Env env;                       // set on top of this process's environment; nullopt: taken out of it
    int timeout_s = 60;            // then it is killed
    // Where standard output goes, when not captured into Exit::out: a file
    // (such as /dev/full), or a pipe whose reader takes this many bytes into
    // Exit::out and leaves (0: before the program starts).
    std::string stdout_path;
    std::optional<long> pipe_reader_takes;
    bool close_stdin = false; // rather than /dev/null
    // Standard error into Exit::out too, in the order written.
    bool err_to_out = false;
    // Standard output and error on a terminal of their own, both into Exit::out.
    bool terminal = false;
    // Sent to the program once what it has written holds the text.
    struct Signal {
        int number;
        std::string once_written;
        // To the program's process group, of its own, as Ctrl-C on a
        // terminal reaches a shell and what it runs.
        bool to_group = false;
        // And no sooner than this long after the start.
        int after_ms = 0;
        // And once this holds, where given.
        std::function<bool()> when = nullptr;
    };
    std::optional<Signal> signal;
    // Typed on the terminal, each in turn, once what the program has
    // written holds its text and its when() holds, where given. The line
    // discipline has IXON: ^S (XOFF) holds the program's output, as a user
    // or a stalled link does, ^Q lets it go on.
    struct Key {
        std::string keys;
        std::string once_written;
        std::function<bool()> when = nullptr;
    };
    std::vector<Key> typed;
    // Run as this user, where the tests are root, allowed this many
    // processes and threads in all (its own included), as under a tight limit.
    struct User {
        unsigned uid;
        long max_tasks;
    };
    std::optional<User> user;
};

Exit run_process(const Spawn &spawn);

// A program left running while the test goes on, such as a server: in a
// process group of its own, standard output and error into
// spawn.stdout_path (or nowhere), standard input from /dev/null. Stopped
// (SIGTERM to its group, SIGKILL after a second) and waited for when done,
// and killed by the kernel should the test's process die first.
class Background {
public:
    explicit Background(const Spawn &spawn);
    ~Background();
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;
    bool running();
    // Stops it, if it still runs, and whatever else of its group is left;
    // its status as Exit::status gives it.
    int stop();

private:
    pid_t pid_;
    int status_ = -1;
};

std::string read_file(const std::string &path);

#endif
