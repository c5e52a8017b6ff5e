#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

TempDir::TempDir()
{
    char name[] = "/tmp/tbx-test-XXXXXX";
    if (mkdtemp(name) == nullptr)
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

Exit run_process(const Spawn &spawn)
{
    const TempDir dir;
    const std::string out = spawn.stdout_path.empty() ? dir / "out" : spawn.stdout_path;
    const std::string err = dir / "err";

    std::vector<std::string> args = spawn.argv;
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        // A hung run is ended by the alarm rather than hanging the suite.
        alarm(static_cast<unsigned>(spawn.timeout_s));
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        for (const std::string &name : spawn.unset)
            unsetenv(name.c_str());
        for (const auto &[name, value] : spawn.env)
            setenv(name.c_str(), value.c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);

    Exit e;
    e.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1000 + WTERMSIG(wstatus);
    if (spawn.stdout_path.empty())
        e.out = read_file(out);
    e.err = read_file(err);
    return e;
}
