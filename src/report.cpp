#include "report.h"

#include <cstdio>
#include <cstdlib>

void report(const char *message, int fatal)
{
    std::printf("tbx: %s\n", message);
    std::fflush(stdout);
    if (fatal)
        std::exit(-1);
}
