// What tbx-play says, into outputs that take nothing for a while: a pipe
// nobody drains, a terminal on hold. Nothing blocks, the shared description
// stays as it was, every line comes once the output drains, in order, and
// the progress line's redraws meanwhile are dropped for the latest.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "progress.h"
#include "signals.h"
#include "test_names.h"

namespace {

// Our outputs, as the shell hands them over: blocking descriptions; and a
// way to hold them, and to let them go.
struct Outputs {
    int out = -1, err = -1;
    int far = -1; // where what we write comes out
    std::function<void()> hold;
    std::function<void()> release;
    ~Outputs()
    {
        for (const int fd : {out, err == out ? -1 : err, far})
            if (fd >= 0)
                close(fd);
    }
};

// Everything that has come out of fd so far, but what held it.
std::string drain(int fd)
{
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        std::copy_if(buffer, buffer + n, std::back_inserter(got), [](char c) { return c != '\0'; });
    return got;
}

// A pipe nobody drains: held by filling it with NULs through a description
// of its own, until it takes nothing more.
void a_pipe(Outputs &o, bool err_too)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    o.out = err_too ? p[1] : open("/dev/null", O_WRONLY);
    o.err = p[1];
    o.far = p[0];
    fcntl(o.far, F_SETFL, O_NONBLOCK);
    o.release = [] {};
    const int into = p[1];
    o.hold = [into] {
        const int filler = open(("/proc/self/fd/" + std::to_string(into)).c_str(), O_WRONLY | O_NONBLOCK);
        static const char zeros[512] = {};
        for (size_t size = sizeof zeros; size > 0; size /= 2)
            while (write(filler, zeros, size) > 0) {
            }
        close(filler);
    };
}

// A socket nobody drains, as an output handed over by a service manager.
void a_socket(Outputs &o)
{
    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    o.out = o.err = s[0];
    o.far = s[1];
    fcntl(o.far, F_SETFL, O_NONBLOCK);
    o.hold = [into = s[0]] {
        static const char zeros[512] = {};
        for (size_t size = sizeof zeros; size > 0; size /= 2)
            while (send(into, zeros, size, MSG_DONTWAIT) > 0) {
            }
    };
    o.release = [] {};
}

// A terminal, held as ^S holds it.
void a_terminal(Outputs &o)
{
    int far, ours;
    ASSERT_EQ(openpty(&far, &ours, nullptr, nullptr, nullptr), 0);
    fcntl(far, F_SETFL, O_NONBLOCK);
    o.out = o.err = ours;
    o.far = far;
    o.hold = [ours] { tcflow(ours, TCOOFF); };
    o.release = [ours] { tcflow(ours, TCOON); };
}

Pacing::Figures at(int percent) { return {percent, 2.0, 5, Pacing::Wait::None}; }

const std::string kLine = "Reading track 1 of 2: ";
const std::string kAhead = "% of the disc at 2.0x real time, 5 s ahead of the music\033[K";

struct Case {
    const char *name;
    std::function<void(Outputs &)> make;
    std::string before; // what came out before it was held
    std::string after;  // and once let go
};

const Case kCases[] = {
    // Standard output elsewhere: a line per track, and our lines.
    {"pipe_of_our_errors", [](Outputs &o) { a_pipe(o, false); }, "Reading track 1 of 2\n", "one\nthree\nfour\n"},
    // tbx's lines among ours, in the order said.
    {"pipe_of_both", [](Outputs &o) { a_pipe(o, true); }, "Reading track 1 of 2\n", "one\ntwo\nthree\nfour\n"},
    {"socket_of_both", a_socket, "Reading track 1 of 2\n", "one\ntwo\nthree\nfour\n"},
    // The line drawn before is erased first; of the redraws meanwhile, only
    // the latest is drawn, below the lines.
    {"terminal_on_hold", a_terminal, "\r" + kLine + "10" + kAhead,
     "\r\033[Kone\r\ntwo\r\nthree\r\nfour\r\n\r" + kLine + "30" + kAhead},
};

class OnHold : public ::testing::TestWithParam<Case> {};

TEST_P(OnHold, EveryLineComesInOrderOnceLetGo)
{
    const Case &c = GetParam();
    Outputs o;
    c.make(o);
    const int shared_flags = fcntl(o.err, F_GETFL);
    Progress progress(o.out, o.err);
    progress.reading(1, 2, at(10));
    std::string came = drain(o.far);
    o.hold();
    progress.reading(1, 2, at(20));
    progress.say("one");
    progress.pass_on("two\n", STDOUT_FILENO);
    progress.reading(1, 2, at(30));
    progress.pass_on("three\n", STDERR_FILENO);
    progress.say("four");
    EXPECT_EQ(progress.unwritten().size(), 1U);
    EXPECT_EQ(fcntl(o.err, F_GETFL), shared_flags) << "the shell's description of our output changed";
    came += drain(o.far);
    EXPECT_EQ(came, c.before) << "taken while held";

    o.release();
    for (int tries = 0; !progress.unwritten().empty() && tries < 100; ++tries) {
        pollfd p = {progress.unwritten().front(), POLLOUT, 0};
        ASSERT_EQ(poll(&p, 1, 1000), 1);
        progress.write_more();
        came += drain(o.far);
    }
    EXPECT_FALSE(progress.closed());
    EXPECT_EQ(progress.unwritten(), std::vector<int>{});
    EXPECT_EQ(came + drain(o.far), c.before + c.after);
}

INSTANTIATE_TEST_SUITE_P(Progress, OnHold, ::testing::ValuesIn(kCases), ByName());

// Nobody reads the pipe any more: closed, with nothing to wait for.
TEST(Progress, AnOutputWhoseReaderHasGoneIsClosed)
{
    const Signals signals; // a write then fails, rather than kill us by SIGPIPE
    Outputs o;
    a_pipe(o, true);
    o.hold();
    close(o.far);
    o.far = -1;
    Progress progress(o.out, o.err);
    progress.say("one");
    EXPECT_TRUE(progress.closed());
    EXPECT_EQ(progress.unwritten(), std::vector<int>{});
    EXPECT_EQ(progress.finish(signals), 0);
}

// The last words wait for the terminal to be let go, but for no longer than
// asked, and not past a signal that ends the run; tbx's end is no such one.
TEST(Progress, FinishingWaitsForTheOutputUntilASignal)
{
    Signals signals;
    std::string error;
    ASSERT_TRUE(signals.block(error)) << error;
    Outputs o;
    a_terminal(o);
    o.hold();
    Progress progress(o.out, o.err);
    progress.say("one");
    ASSERT_EQ(progress.unwritten().size(), 1U);

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    raise(SIGCHLD);
    EXPECT_EQ(progress.finish(signals, 100), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90)) << "ended by tbx's end";
    raise(SIGINT);
    EXPECT_EQ(progress.finish(signals), SIGINT);
    EXPECT_EQ(drain(o.far), "");

    o.release();
    EXPECT_EQ(progress.finish(signals), 0);
    EXPECT_EQ(drain(o.far), "one\r\n");
}

} // namespace
