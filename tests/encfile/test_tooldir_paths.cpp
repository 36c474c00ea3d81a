// The tool directory's path rules on both systems: on Windows '\' and '/' both separate and an
// absolute path has a drive, on Linux a backslash is part of a file name.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "encfile/ToolDir.h"
#include "tests/support/ImageFactory.h"

namespace fs = std::filesystem;

namespace {

struct Row {
    const char* exePath;
    const char* installedBin;
    const char* xdg;
    const char* home;
    const char* dir;
    tarvex::ToolDirKind kind;
};

constexpr auto Portable = tarvex::ToolDirKind::Portable;
constexpr auto Installed = tarvex::ToolDirKind::Installed;

const Row kRows[] = {
#ifdef _WIN32
    // A copy unpacked anywhere works from its own folder, however it is spelt.
    {"C:\\Tools\\Tarvex\\tarvex.exe", "", nullptr, nullptr, "C:\\Tools\\Tarvex\\", Portable},
    {"C:/Tools/Tarvex/tarvex.exe", "", nullptr, nullptr, "C:/Tools/Tarvex/", Portable},
    {"C:\\Tools/mixed\\tarvex.exe", "", nullptr, nullptr, "C:\\Tools/mixed\\", Portable},
    {"Z:\\tarvex.exe", "", nullptr, nullptr, "Z:\\", Portable},
    {"\\\\server\\share\\Tarvex\\tarvex.exe", "", nullptr, nullptr, "\\\\server\\share\\Tarvex\\", Portable},
    {"tarvex.exe", "", nullptr, nullptr, "", Portable},
    // An installed copy: the bin directory matches with or without its last separator, the
    // data directory must have a drive to count.
    {"C:\\Prog\\Tarvex\\tarvex.exe", "C:\\Prog\\Tarvex\\", "D:\\data", "C:\\Users\\u", "D:\\data\\tarvex\\", Installed},
    {"C:\\Prog\\Tarvex\\tarvex.exe", "C:\\Prog\\Tarvex", "\\data", "C:\\Users\\u", "C:\\Users\\u\\.local\\share\\tarvex\\",
     Installed},
    {"C:\\Prog\\Tarvex\\tarvex.exe", "C:\\Prog\\Other", "D:\\data", "C:\\Users\\u", "C:\\Prog\\Tarvex\\", Portable},
#else
    {"/opt/tar\\vex/tarvex", "", nullptr, nullptr, "/opt/tar\\vex/", Portable},
    {"C:\\Tools\\tarvex", "", nullptr, nullptr, "", Portable}, // one file name in the current directory
    {"/usr/bin/tarvex", "/usr/bin", "C:\\data", "/home/u", "/home/u/.local/share/tarvex/", Installed},
#endif
};

TEST(ToolDirPaths, EachSystemSplitsAndAnchorsPathsItsOwnWay)
{
    for (const Row& r : kRows) {
        const tarvex::ToolDirChoice c = tarvex::ChooseToolDir(r.exePath, r.installedBin, r.xdg, r.home);
        EXPECT_EQ(c.dir, r.dir) << r.exePath;
        EXPECT_EQ(c.kind, r.kind) << r.exePath;
        EXPECT_TRUE(c.error.empty()) << r.exePath << ": " << c.error;
    }
}

#ifdef _WIN32
TEST(ToolDirPaths, MakeToolDirCreatesEachLevelOfABackslashPath)
{
    testsupport::TempDir tmp;
    std::string base = tmp.Path().string(); // "C:\users\...\Temp\..." or "Z:\tmp\..." under Wine
    ASSERT_GE(base.size(), 3u);
    ASSERT_EQ(base[1], ':') << base;
    const std::string dir = base + "\\one\\two/three\\";
    std::string error;
    ASSERT_TRUE(tarvex::MakeToolDir(dir, &error)) << error;
    EXPECT_TRUE(fs::is_directory(tmp.Path() / "one" / "two" / "three"));
    // Again: every level exists, nothing to do.
    EXPECT_TRUE(tarvex::MakeToolDir(dir, &error)) << error;
}
#endif

} // namespace
