#ifndef TBX_PLAY_DISC_H
#define TBX_PLAY_DISC_H

// The drive and the disc in it: found where classic SDL looks, opened with
// libcdio, its table of contents, and its MusicBrainz disc ID.
#include <optional>
#include <string>
#include <vector>

#include <cdio/cdio.h>
#include <cdio/paranoia/cdda.h>

namespace disc {

// The first drive: the first one SDL_CDROM names, or the first block device
// among /dev/cdrom, /dev/sr*, /dev/scd*.
std::optional<std::string> find_drive();

struct Track {
    int number;  // from 1, as on the disc
    bool audio;
    lsn_t start; // sector
    long frames; // its length, in sectors of 1/75 s
};

struct Toc {
    std::vector<Track> tracks;

    // Every track up to the last audio one: a data track after it is left
    // out, or sdl12-compat would not play the track before it to its end.
    std::vector<Track> played() const;
    // The whole table, as the cache keeps it beside the disc.
    std::string text() const;
};

enum class Opened { Audio, NoAudio, NoDisc, Denied, Failed };

class Drive {
public:
    explicit Drive(std::string path);
    ~Drive();
    Drive(const Drive &) = delete;
    Drive &operator=(const Drive &) = delete;

    // Opens the drive and reads its table of contents; where it cannot
    // (Denied, Failed), error says so.
    Opened open(std::string &error);
    const std::string &path() const { return path_; }
    const Toc &toc() const { return toc_; }
    // The MusicBrainz disc ID, or "" with error set.
    std::string id(std::string &error);
    // The drive made ready to read audio, once open() said Audio; nullptr,
    // with error set, if it cannot be. It is asked then how large a buffer
    // it keeps what it reads in.
    cdrom_drive_t *cdda(std::string &error);
    // That buffer, in kilobytes, as the drive reports it (MMC's CD
    // capabilities page); 0 where it reports none.
    long buffer_kb() const { return buffer_kb_; }
    // That drive, once made, handed over to be closed by whoever takes it.
    cdrom_drive_t *give_cdda();
    // Lets the drive go, so that its tray opens again.
    void close();

private:
    std::string path_;
    Toc toc_;
    CdIo_t *cdio_ = nullptr;
    cdrom_drive_t *cdda_ = nullptr; // which owns cdio_ once made
    long buffer_kb_ = 0;
};

} // namespace disc

#endif
