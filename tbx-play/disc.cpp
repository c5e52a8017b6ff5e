#include "disc.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <cdio/cdio.h>
#include <cdio/logging.h>
#include <cdio/mmc.h>
#include <cdio/mmc_ll_cmds.h>
#include <discid/discid.h>

namespace disc {

std::optional<std::string> find_drive()
{
    if (const char *named = std::getenv("SDL_CDROM"); named != nullptr && *named != '\0') {
        const std::string all = named;
        return all.substr(0, all.find(':'));
    }
    std::vector<std::string> candidates = {"/dev/cdrom"};
    for (const char *pattern : {"/dev/sr*", "/dev/scd*"}) {
        glob_t found;
        if (glob(pattern, 0, nullptr, &found) == 0)
            candidates.insert(candidates.end(), found.gl_pathv, found.gl_pathv + found.gl_pathc);
        globfree(&found);
    }
    for (const std::string &path : candidates) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            return path;
    }
    return std::nullopt;
}

std::vector<Track> Toc::played() const
{
    std::vector<Track> played = tracks;
    while (!played.empty() && !played.back().audio)
        played.pop_back();
    return played;
}

std::string Toc::text() const
{
    std::ostringstream s;
    for (const Track &t : tracks)
        s << t.number << (t.audio ? " audio " : " data ") << t.start << " " << t.frames << "\n";
    return s.str();
}

namespace {

// libcdio warns on standard error of every failed command, and a drive
// without a disc fails many; what matters is said once, by us.
void quiet(cdio_log_level_t, const char *) {}

// What MODE SENSE (10) gives as the drive's buffer for audio, in kilobytes:
// bytes 12 and 13 of the CD capabilities page, after the header and any
// block descriptors; 0 where the drive says nothing of it.
long reported_buffer(CdIo_t *cdio)
{
    unsigned char answer[256] = {};
    if (mmc_mode_sense_10(cdio, answer, sizeof answer, CDIO_MMC_CAPABILITIES_PAGE) != DRIVER_OP_SUCCESS)
        return 0;
    const size_t length = std::min<size_t>(2 + (answer[0] << 8 | answer[1]), sizeof answer);
    const size_t page = 8 + static_cast<size_t>(answer[6] << 8 | answer[7]);
    if (page + 14 > length || (answer[page] & 0x3F) != CDIO_MMC_CAPABILITIES_PAGE || answer[page + 1] < 12)
        return 0;
    return answer[page + 12] << 8 | answer[page + 13];
}

} // namespace

Drive::Drive(std::string path) : path_(std::move(path)) {}

Drive::~Drive() { close(); }

void Drive::close()
{
    if (cdda_ != nullptr)
        cdio_cddap_close(cdda_);
    else if (cdio_ != nullptr)
        cdio_destroy(cdio_);
    cdda_ = nullptr;
    cdio_ = nullptr;
}

Opened Drive::open(std::string &error)
{
    cdio_log_set_handler(quiet);
    // libcdio says only that it failed; the system says why.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EPERM)) {
        error = "you may not read the drive " + path_ +
                ": add yourself to the group cdrom (sudo adduser $USER cdrom), then log in again";
        return Opened::Denied;
    }
    if (fd < 0) {
        error = "cannot open the drive " + path_ + ": " + std::strerror(errno);
        return Opened::Failed;
    }
    ::close(fd);

    // The table alone, which is read without spinning the disc up: the
    // cdda interface's own opening reads audio to guess the drive's byte order.
    cdio_ = cdio_open(path_.c_str(), DRIVER_DEVICE);
    if (cdio_ == nullptr) {
        error = "cannot open the drive " + path_ + ": not a CD drive libcdio can read";
        return Opened::Failed;
    }
    const track_t first = cdio_get_first_track_num(cdio_);
    const track_t count = cdio_get_num_tracks(cdio_);
    if (first == CDIO_INVALID_TRACK || count == CDIO_INVALID_TRACK || count == 0)
        return Opened::NoDisc;
    for (track_t t = first; t < first + count; ++t) {
        const lsn_t start = cdio_get_track_lsn(cdio_, t);
        const lsn_t next = cdio_get_track_lsn(cdio_, t + 1 < first + count ? t + 1 : CDIO_CDROM_LEADOUT_TRACK);
        toc_.tracks.push_back({t, cdio_get_track_format(cdio_, t) == TRACK_FORMAT_AUDIO, start, next - start});
    }
    // An Enhanced CD's data is in a second session: its audio ends, as
    // libcdio's cdda interface has it, 11400 sectors (lead-out, lead-in, gap) before that.
    lsn_t session = 0;
    if (cdio_get_last_session(cdio_, &session) == DRIVER_OP_SUCCESS && session > 100)
        for (size_t i = toc_.tracks.size() - 1; i > 0; --i) {
            Track &audio = toc_.tracks[i - 1];
            if (!toc_.tracks[i].audio && audio.audio) {
                if (session - 11400 > audio.start && session - 11400 < audio.start + audio.frames)
                    audio.frames = session - 11400 - audio.start;
                break;
            }
        }
    return toc_.played().empty() ? Opened::NoAudio : Opened::Audio;
}

cdrom_drive_t *Drive::cdda(std::string &error)
{
    if (cdda_ != nullptr || cdio_ == nullptr)
        return cdda_;
    cdda_ = cdio_cddap_identify_cdio(cdio_, CDDA_MESSAGE_FORGETIT, nullptr);
    if (cdda_ == nullptr) {
        error = "cannot read the disc in " + path_ + ": not a CD drive whose audio libcdio can read";
        return nullptr;
    }
    cdio_cddap_verbose_set(cdda_, CDDA_MESSAGE_FORGETIT, CDDA_MESSAGE_FORGETIT);
    if (cdio_cddap_open(cdda_) != 0) {
        error = "cannot read the disc in " + path_ + ": libcdio cannot read its table of contents";
        return nullptr;
    }
    buffer_kb_ = reported_buffer(cdio_);
    return cdda_;
}

cdrom_drive_t *Drive::give_cdda()
{
    cdrom_drive_t *given = cdda_;
    if (given != nullptr) {
        cdda_ = nullptr;
        cdio_ = nullptr;
    }
    return given;
}

std::string Drive::id(std::string &error)
{
    DiscId *disc = discid_new();
    std::string id;
    if (discid_read_sparse(disc, path_.c_str(), 0) != 0)
        id = discid_get_id(disc);
    else
        error = "cannot read the ID of the disc in " + path_ + ": " + discid_get_error_msg(disc);
    discid_free(disc);
    return id;
}

} // namespace disc
