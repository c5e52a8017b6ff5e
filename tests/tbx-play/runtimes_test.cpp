// Where tbx-play finds sdl12-compat, on folders of libraries laid out as
// each release lays them out, and the package it names where it finds none.
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "tbx.h"
#include "test_names.h"

namespace {

namespace fs = std::filesystem;

const std::string kOwnFolder = "sdl12-compat";
const std::string kWhereNone = "libsdl1.2-compat, or libsdl1.2debian where there is no libsdl1.2-compat";

struct Layout {
    const char *name;
    // Links (name, target) and, where the target is "", files, in the folder of libraries.
    std::vector<std::pair<std::string, std::string>> files;
    std::string folder; // where sdl12-compat is found: "" for the folder of libraries itself
    std::string package;
    bool installed;
};

const Layout kLayouts[] = {
    {"debian_12",
     {{"libSDL-1.2.so.0.11.4", ""}, {"libSDL-1.2.so.0", "libSDL-1.2.so.0.11.4"},
      {"sdl12-compat/libSDL-1.2.so.1.2.60", ""}, {"sdl12-compat/libSDL-1.2.so.0", "libSDL-1.2.so.1.2.60"}},
     kOwnFolder, "libsdl1.2-compat", true},
    {"debian_12_without_sdl12_compat",
     {{"libSDL-1.2.so.0.11.4", ""}, {"libSDL-1.2.so.0", "libSDL-1.2.so.0.11.4"}}, kOwnFolder, "libsdl1.2-compat",
     false},
    // Its own folder is links to the system's.
    {"debian_13",
     {{"libSDL-1.2.so.1.2.68", ""}, {"libSDL-1.2.so.0", "libSDL-1.2.so.1.2.68"},
      {"sdl12-compat/libSDL-1.2.so.0", "../libSDL-1.2.so.0"}},
     "", "libsdl1.2debian", true},
    {"debian_testing", {{"libSDL-1.2.so.1.2.78", ""}, {"libSDL-1.2.so.0", "libSDL-1.2.so.1.2.78"}}, "",
     "libsdl1.2debian", true},
    // What counts is the file the link leads to, not the link's name.
    {"classic_sdl_named_like_sdl12_compat",
     {{"classic/libSDL-1.2.so.0.11.4", ""}, {"libSDL-1.2.so.1.2.78", "classic/libSDL-1.2.so.0.11.4"},
      {"libSDL-1.2.so.0", "libSDL-1.2.so.1.2.78"}},
     kOwnFolder, "libsdl1.2-compat", false},
    {"no_sdl_at_all", {}, kOwnFolder, kWhereNone, false},
    {"a_dangling_link", {{"libSDL-1.2.so.0", "libSDL-1.2.so.1.2.78"}}, kOwnFolder, kWhereNone, false},
};

class FindCompat : public ::testing::TestWithParam<Layout> {};

TEST_P(FindCompat, IsTheSystemsSdlWhereThatIsSdl12CompatElseItsOwnFolder)
{
    const Layout &l = GetParam();
    const TempDir dir;
    for (const auto &[name, target] : l.files) {
        fs::create_directories(fs::path(dir / name).parent_path());
        if (target.empty())
            std::ofstream(dir / name) << "ELF";
        else
            fs::create_symlink(target, dir / name);
    }
    const Compat found = find_compat(dir.path());
    EXPECT_EQ(found.folder, l.folder.empty() ? dir.path() : dir / l.folder);
    EXPECT_EQ(found.package, l.package);
    Runtimes runtimes;
    runtimes.compat = found.folder;
    EXPECT_EQ(runtimes.compat_installed(), l.installed);
}

INSTANTIATE_TEST_SUITE_P(Runtimes, FindCompat, ::testing::ValuesIn(kLayouts), ByName());

} // namespace
