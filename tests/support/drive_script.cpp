#include "drive_script.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace {

using Words = std::istringstream;

// Each reader takes the words after the directive's name; false if they do not fit.
template <typename T, typename Into> bool list(Words &w, Into &into)
{
    for (T n; w >> n;)
        into.insert(into.end(), n);
    return w.eof();
}

template <typename T> bool one(Words &w, T &into) { return static_cast<bool>(w >> into); }

struct Directive {
    const char *name;
    DriveKind drive; // which drive follows it
    bool (*read)(Words &, DriveScript &);
};

const DriveKind Any = DriveKind::Any, Scripted = DriveKind::Scripted, Ioctl = DriveKind::Ioctl;

const Directive kDirectives[] = {
    {"tracks", Any, [](Words &w, DriveScript &s) { return list<long>(w, s.frames); }},
    {"data", Any, [](Words &w, DriveScript &s) { return list<int>(w, s.data); }},
    {"tray empty", Any, [](Words &, DriveScript &s) { s.tray_empty = true; return true; }},
    {"pause at", Any, [](Words &w, DriveScript &s) { return one(w, s.pause_at); }},
    {"eject at", Any, [](Words &w, DriveScript &s) { return one(w, s.eject_at); }},
    {"eject after", Any,
     [](Words &w, DriveScript &s) { return one(w, s.eject_after_call) && one(w, s.eject_after_count); }},
    {"no drive", Any, [](Words &, DriveScript &s) { s.no_drive = true; return true; }},
    {"init fail", Scripted, [](Words &, DriveScript &s) { s.init_fails = true; return true; }},
    {"no name", Scripted, [](Words &, DriveScript &s) { s.no_name = true; return true; }},
    {"claim", Scripted, [](Words &w, DriveScript &s) { return one(w, s.claim); }},
    {"fail", Scripted, [](Words &w, DriveScript &s) { return list<int>(w, s.failing); }},
    {"played", Scripted, [](Words &w, DriveScript &s) { return one(w, s.played); }},
    {"error", Scripted, [](Words &w, DriveScript &s) { return list<int>(w, s.errors); }},
    {"spinup never", Scripted, [](Words &, DriveScript &s) { s.spinup_ms = -1; return true; }},
    {"spinup", Scripted, [](Words &w, DriveScript &s) { return one(w, s.spinup_ms); }},
    {"shrink", Scripted, [](Words &w, DriveScript &s) { return one(w, s.shrink_after) && one(w, s.shrink_to); }},
    {"tones", Ioctl, [](Words &w, DriveScript &s) { return list<double>(w, s.tones); }},
    {"unreadable", Ioctl, [](Words &w, DriveScript &s) { return list<int>(w, s.unreadable); }},
    {"unsteady", Ioctl, [](Words &w, DriveScript &s) { return list<int>(w, s.unsteady); }},
    {"damaged", Ioctl,
     [](Words &w, DriveScript &s) {
         DriveScript::Damage d{};
         const bool read = one(w, d.from) && one(w, d.to) && one(w, d.chance);
         s.damaged.push_back(d);
         return read && d.from <= d.to && d.chance >= 0 && d.chance <= 1;
     }},
    {"cache", Ioctl, [](Words &w, DriveScript &s) { return one(w, s.cache) && s.cache >= 0; }},
    {"reports", Ioctl, [](Words &w, DriveScript &s) { return one(w, s.reports_kb) && s.reports_kb >= 0 && s.reports_kb < 65536; }},
    {"stall on", Ioctl,
     [](Words &w, DriveScript &s) { return one(w, s.stall_call) && one(w, s.stall_call_count) && one(w, s.stall_call_ms); }},
    {"stall", Ioctl, [](Words &w, DriveScript &s) { return one(w, s.stall_at) && one(w, s.stall_ms); }},
    {"fails after", Ioctl,
     [](Words &w, DriveScript &s) { return one(w, s.fail_after_call) && one(w, s.fail_after_count); }},
    {"speed", Ioctl,
     [](Words &w, DriveScript &s) {
         return list<double>(w, s.speed) && std::all_of(s.speed.begin(), s.speed.end(), [](double x) { return x > 0; });
     }},
    {"no permission", Ioctl, [](Words &, DriveScript &s) { s.no_permission = true; return true; }},
};

bool starts_with_words(const std::string &line, const char *name)
{
    const size_t n = std::strlen(name);
    return line.compare(0, n, name) == 0 && (line.size() == n || line[n] == ' ');
}

} // namespace

std::string parse_script(const std::string &text, DriveKind drive, DriveScript &script)
{
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (line.find_first_not_of(' ') == std::string::npos)
            continue;
        const Directive *found = nullptr;
        for (const Directive &d : kDirectives)
            if (found == nullptr && starts_with_words(line, d.name) && (d.drive == Any || d.drive == drive))
                found = &d;
        const std::string where = "line " + std::to_string(number) + ": " + line;
        if (found == nullptr)
            return where + ": not a directive of this drive";
        Words words(line.substr(std::strlen(found->name)));
        if (!found->read(words, script) || !(words >> std::ws).eof())
            return where + ": cannot read its arguments";
    }
    return "";
}
