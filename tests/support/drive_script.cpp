#include "drive_script.h"

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
    bool (*read)(Words &, DriveScript &);
};

const Directive kDirectives[] = {
    {"tracks", [](Words &w, DriveScript &s) { return list<long>(w, s.frames); }},
    {"data", [](Words &w, DriveScript &s) { return list<int>(w, s.data); }},
    {"tray empty", [](Words &, DriveScript &s) { s.tray_empty = true; return true; }},
    {"pause at", [](Words &w, DriveScript &s) { return one(w, s.pause_at); }},
    {"eject at", [](Words &w, DriveScript &s) { return one(w, s.eject_at); }},
    {"eject after", [](Words &w, DriveScript &s) { return one(w, s.eject_after_call) && one(w, s.eject_after_count); }},
    {"init fail", [](Words &, DriveScript &s) { s.init_fails = true; return true; }},
    {"no drive", [](Words &, DriveScript &s) { s.no_drive = true; return true; }},
    {"no name", [](Words &, DriveScript &s) { s.no_name = true; return true; }},
    {"claim", [](Words &w, DriveScript &s) { return one(w, s.claim); }},
    {"fail", [](Words &w, DriveScript &s) { return list<int>(w, s.failing); }},
    {"played", [](Words &w, DriveScript &s) { return one(w, s.played); }},
    {"error", [](Words &w, DriveScript &s) { return list<int>(w, s.errors); }},
    {"spinup never", [](Words &, DriveScript &s) { s.spinup_ms = -1; return true; }},
    {"spinup", [](Words &w, DriveScript &s) { return one(w, s.spinup_ms); }},
    {"shrink", [](Words &w, DriveScript &s) { return one(w, s.shrink_after) && one(w, s.shrink_to); }},
    {"tones", [](Words &w, DriveScript &s) { return list<double>(w, s.tones); }},
    {"unreadable", [](Words &w, DriveScript &s) { return list<int>(w, s.unreadable); }},
};

bool starts_with_words(const std::string &line, const char *name)
{
    const size_t n = std::strlen(name);
    return line.compare(0, n, name) == 0 && (line.size() == n || line[n] == ' ');
}

bool among(const char *name, const char *const known[])
{
    for (; *known != nullptr; ++known)
        if (std::strcmp(*known, name) == 0)
            return true;
    return false;
}

} // namespace

const char *const kScriptedDirectives[] = {"tracks",    "data",     "tray empty", "pause at", "eject at",
                                           "eject after", "init fail", "no drive",  "no name",  "claim",
                                           "fail",      "played",   "error",      "spinup never", "spinup",
                                           "shrink",    nullptr};
const char *const kIoctlDirectives[] = {"tracks",      "data",  "tray empty", "pause at", "eject at",
                                        "eject after", "no drive", "tones", "unreadable", nullptr};

std::string parse_script(const std::string &text, const char *const known[], DriveScript &script)
{
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (line.find_first_not_of(' ') == std::string::npos)
            continue;
        const Directive *found = nullptr;
        for (const Directive &d : kDirectives)
            if (found == nullptr && starts_with_words(line, d.name) && among(d.name, known))
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
