#ifndef TBX_TESTS_PROCESS_H
#define TBX_TESTS_PROCESS_H

// Runs programs in processes of their own, the way a shell would, for the
// tests: standard output and error captured, standard input from /dev/null,
// SIGPIPE at its default.
#include <map>
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
    int status = -1; // the exit status, or 1000 + the signal that ended it
};

struct Spawn {
    std::vector<std::string> argv;           // argv[0] is the program's path
    std::map<std::string, std::string> env;  // set on top of this process's environment
    std::vector<std::string> unset;          // taken out of it
    std::string stdout_path;                 // where standard output goes; empty: captured
    int timeout_s = 60;                      // then it is killed
    bool close_stdin = false;                // standard input closed rather than /dev/null
    long pipe_reads = -1;                    // >= 0: standard output is a pipe whose reader takes this
                                             // many bytes into Exit::out, then closes it (0: before the start)
};

Exit run_process(const Spawn &spawn);

std::string read_file(const std::string &path);

#endif
