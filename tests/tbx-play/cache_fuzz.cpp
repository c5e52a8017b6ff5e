// What tbx-play reads from its cache, as anything may have become of it:
// bytes up to the first NUL are a disc's table, the rest its one track.
// The frames are counted alike in one block and in two; checking the disc
// reads its table and track from a folder of the cache.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "cache.h"
#include "mp3.h"

namespace {

// A cache of its own, there for the whole run.
struct Cache {
    std::string dir;
    cache::Root root;

    Cache()
    {
        char name[] = "/tmp/tbx-fuzz-XXXXXX";
        std::string error;
        if (mkdtemp(name) == nullptr || !root.open(std::string(name) + "/tbx", error))
            std::abort();
        dir = name;
        std::filesystem::create_directory(root.path() + "/disc");
    }
    ~Cache()
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

void put(const std::string &path, const uint8_t *data, size_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)))
        std::abort();
    close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Cache cache;
    const auto *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    const size_t table = nul != nullptr ? static_cast<size_t>(nul - data) : size;
    const uint8_t *track = data + std::min(table + 1, size);
    const size_t track_size = size - static_cast<size_t>(track - data);

    mp3::FrameCounter whole;
    whole.add(track, track_size);
    const size_t cut = track_size == 0 ? 0 : data[0] % track_size;
    mp3::FrameCounter halves;
    halves.add(track, cut);
    halves.add(track + cut, track_size - cut);
    if (whole.frames() != halves.frames())
        std::abort();

    put(cache.root.path() + "/disc/toc", data, table);
    put(cache.root.path() + "/disc/track01.mp3", track, track_size);
    const disc::Toc toc{{{1, true, 0, 75}}};
    cache::Place(cache.root, "disc").whole(toc);
    return 0;
}
