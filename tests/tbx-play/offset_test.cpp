// Where another process stands in a file, as the pacing looks: the offset
// its descriptor has moved to by its reads, whatever buffers them; the
// furthest of several; none where it has the file closed or never opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offset.h"
#include "test_names.h"
#include "process.h"

namespace {

struct Reads {
    const char *name;
    std::vector<long> reads; // by a second descriptor where -1 comes between
    bool closed;             // after them
    long offset;
};

const Reads kReads[] = {
    {"opened_not_read", {}, false, 0},
    {"read_in_bits", {100, 4000, 61440}, false, 65540},
    {"through_stdio", {1}, false, 4096},
    {"the_furthest_of_two", {5000, -1, 700}, false, 5000},
    {"closed", {5000}, true, -1},
};

class Offset : public ::testing::TestWithParam<Reads> {};

TEST_P(Offset, IsWhereTheOtherProcessHasReadTo)
{
    const Reads &r = GetParam();
    TempDir dir;
    const std::string path = dir / "track01.mp3";
    {
        FILE *f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        const std::string bytes(200000, 'x');
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    int told[2];
    ASSERT_EQ(pipe(told), 0);
    const pid_t child = fork();
    if (child == 0) {
        // The reads, then word that they are done, then a wait to be ended.
        char buffer[65536];
        if (std::string(r.name) == "through_stdio") {
            FILE *f = std::fopen(path.c_str(), "r");
            setvbuf(f, nullptr, _IOFBF, 4096);
            [[maybe_unused]] const int c = std::fgetc(f);
        } else {
            int fd = open(path.c_str(), O_RDONLY);
            for (const long n : r.reads) {
                if (n < 0)
                    fd = open(path.c_str(), O_RDONLY);
                else
                    for (long left = n; left > 0;)
                        left -= read(fd, buffer, static_cast<size_t>(std::min<long>(left, sizeof buffer)));
            }
            if (r.closed)
                close(fd);
        }
        [[maybe_unused]] const ssize_t w = write(told[1], "x", 1);
        pause();
        _exit(0);
    }
    close(told[1]);
    char x;
    ASSERT_EQ(read(told[0], &x, 1), 1);
    close(told[0]);
    EXPECT_EQ(offset_in(child, st.st_dev, st.st_ino), r.offset);
    EXPECT_EQ(offset_in(child, st.st_dev, st.st_ino + 1), -1) << "another file";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(offset_in(child, st.st_dev, st.st_ino), -1) << "a process gone";
}

INSTANTIATE_TEST_SUITE_P(Offset, Offset, ::testing::ValuesIn(kReads), ByName());

} // namespace
