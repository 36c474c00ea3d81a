// Where an installed, a portable and a build-tree copy keep Tarvex.cfg and the image.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "encfile/AppImage.h"
#include "encfile/SystemConfig.h"
#include "encfile/ToolDir.h"
#include "platform/Kernel.h"
#include "tests/support/ImageFactory.h"

namespace fs = std::filesystem;
using testsupport::TempDir;
using testsupport::WinPath;

namespace {

// Sets or unsets one environment variable for the test's lifetime.
class EnvVar
{
public:
    EnvVar(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar()
    {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

std::string Slash(const fs::path& p) { return p.string() + "/"; }

bool IsEmptyDir(const fs::path& p) { return fs::is_directory(p) && fs::directory_iterator(p) == fs::directory_iterator(); }

std::string PasswdHome()
{
    struct passwd* pw = getpwuid(geteuid());
    return pw && pw->pw_dir ? pw->pw_dir : "";
}

} // namespace

TEST(ChooseToolDir, PortableCopiesUseTheirOwnDirectory)
{
    // No install location known (tests, the demo), another directory (a portable folder,
    // the build tree): the executable's directory, whatever the environment says.
    for (const char* bin : {"", "/usr/bin", "/opt/tarvex/bin"}) {
        auto c = tarvex::ChooseToolDir("/home/tech/tarvex-portable/tarvex", bin, "/xdg", "/home/tech");
        EXPECT_EQ(c.kind, tarvex::ToolDirKind::Portable) << bin;
        EXPECT_EQ(c.dir, "/home/tech/tarvex-portable/") << bin;
        EXPECT_TRUE(c.error.empty());
    }
    // A copy in a subdirectory of the bin directory is not the installed one.
    auto sub = tarvex::ChooseToolDir("/usr/bin/sub/tarvex", "/usr/bin", "/xdg", "/home/u");
    EXPECT_EQ(sub.kind, tarvex::ToolDirKind::Portable);
    EXPECT_EQ(sub.dir, "/usr/bin/sub/");
}

TEST(ChooseToolDir, InstalledCopyUsesThePerUserDataDirectory)
{
    auto c = tarvex::ChooseToolDir("/usr/bin/tarvex", "/usr/bin", "/home/u/data", "/home/u");
    EXPECT_EQ(c.kind, tarvex::ToolDirKind::Installed);
    EXPECT_EQ(c.dir, "/home/u/data/tarvex/");

    // XDG_DATA_HOME with a trailing slash; unset or empty falls back to HOME.
    EXPECT_EQ(tarvex::ChooseToolDir("/usr/bin/tarvex", "/usr/bin", "/d/", "/h").dir, "/d/tarvex/");
    EXPECT_EQ(tarvex::ChooseToolDir("/usr/bin/tarvex", "/usr/bin", nullptr, "/root").dir, "/root/.local/share/tarvex/");
    EXPECT_EQ(tarvex::ChooseToolDir("/usr/bin/tarvex", "/usr/bin", "", "/h").dir, "/h/.local/share/tarvex/");
    // A relative XDG_DATA_HOME is not a base directory: it would land in the current one.
    EXPECT_EQ(tarvex::ChooseToolDir("/usr/bin/tarvex", "/usr/bin", "data", "/h").dir, "/h/.local/share/tarvex/");
    // The configured bin directory may be spelt with a trailing slash or "..".
    EXPECT_EQ(tarvex::ChooseToolDir("/usr/bin/tarvex", "/usr/bin/", "/d", "/h").kind, tarvex::ToolDirKind::Installed);
    EXPECT_EQ(tarvex::ChooseToolDir("/usr/bin/tarvex", "/usr/lib/../bin", "/d", "/h").kind,
              tarvex::ToolDirKind::Installed);
}

TEST(ChooseToolDir, WithoutHomeThePasswordDatabaseNamesIt)
{
    const std::string home = PasswdHome();
    ASSERT_FALSE(home.empty());
    for (const char* h : {static_cast<const char*>(nullptr), "", "relative"}) {
        auto c = tarvex::ChooseToolDir("/usr/bin/tarvex", "/usr/bin", nullptr, h);
        EXPECT_EQ(c.kind, tarvex::ToolDirKind::Installed);
        EXPECT_EQ(c.dir, (fs::path(home) / ".local/share/tarvex").string() + "/");
    }
}

TEST(ChooseToolDir, ABinDirectoryReachedThroughALinkIsTheSame)
{
    // Debian's merged /usr: /bin is a link to /usr/bin, and the kernel reports the target.
    TempDir t;
    fs::create_directories(t / "usr/bin");
    fs::create_directory_symlink(t / "usr/bin", t / "bin");
    auto c = tarvex::ChooseToolDir((t / "usr/bin/tarvex").string(), (t / "bin").string(), "/d", "/h");
    EXPECT_EQ(c.kind, tarvex::ToolDirKind::Installed);
    EXPECT_EQ(c.dir, "/d/tarvex/");
}

// The product's view: the executable's path, the configured install location, the
// environment, and the files the configuration path reads and writes.
class InstalledCopy : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(m_root / "usr/bin");
        m_xdg.emplace("XDG_DATA_HOME", (m_root / "data").c_str());
        tarvex::SetToolDirSettings({(m_root / "usr/bin").string(), (m_root / "etc/tarvex").string()});
        platform::OverrideModuleFileName((m_root / "usr/bin/tarvex").string());
    }
    void TearDown() override
    {
        platform::OverrideModuleFileName("");
        tarvex::SetToolDirSettings({});
        m_xdg.reset();
    }
    fs::path UserDir() const { return m_root.Path() / "data/tarvex"; }

    TempDir m_root;
    std::optional<EnvVar> m_xdg;
};

TEST_F(InstalledCopy, FirstUseCreatesThePrivateDirectoryAndNothingLandsInBin)
{
    ASSERT_FALSE(fs::exists(m_root / "data"));
    // Asking where (tarvex --where) creates nothing.
    EXPECT_EQ(tarvex::CurrentToolDir(false).dir, Slash(UserDir()));
    EXPECT_FALSE(fs::exists(m_root / "data"));

    const CString dir = GetModuleDir();
    EXPECT_EQ(dir, WinPath(UserDir()) + u"\\");
    ASSERT_TRUE(fs::is_directory(UserDir()));
    struct stat st {};
    ASSERT_EQ(::stat(UserDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u); // it holds the access password
    ASSERT_EQ(::stat((m_root / "data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A fresh install: no configuration yet; the configuration dialog's save and image
    // load then work in the per-user directory.
    SYSTEM_CONFIG none{};
    EXPECT_EQ(LoadSystemConfig(GetModuleDir() + SYSTEM_CONFIG_FILE_NAME, &none), 0);
    const ENC_FILE_HEADER image =
        testsupport::WriteImageFile(UserDir() / "mouse.bimg", "DUNX4V2", testsupport::MakeRawImage(0x5000, 3));
    const SYSTEM_CONFIG config = testsupport::MakeConfig(u"mouse.bimg", image);
    ASSERT_EQ(SaveSystemConfig(GetModuleDir() + SYSTEM_CONFIG_FILE_NAME, &config), 1);
    EXPECT_TRUE(fs::exists(UserDir() / "Tarvex.cfg"));
    SYSTEM_CONFIG back{};
    ASSERT_EQ(LoadSystemConfig(GetModuleDir() + SYSTEM_CONFIG_FILE_NAME, &back), 1);
    EXPECT_EQ(std::memcmp(&back, &config, sizeof config), 0);
    ENC_FILE_HEADER header{};
    BYTE* data = nullptr;
    EXPECT_EQ(ReadAppImage(GetModuleDir() + u"mouse.bimg", &back, &header, &data), AppImageCheck::Ok);
    std::free(data);

    EXPECT_TRUE(IsEmptyDir(m_root / "usr/bin"));
}

TEST_F(InstalledCopy, HomeIsUsedWhenXdgDataHomeIsUnset)
{
    EnvVar noXdg("XDG_DATA_HOME", nullptr);
    EnvVar home("HOME", (m_root / "home").c_str());
    EXPECT_EQ(GetModuleDir(), WinPath(m_root / "home/.local/share/tarvex") + u"\\");
    EXPECT_TRUE(fs::is_directory(m_root / "home/.local/share/tarvex"));
    EXPECT_TRUE(IsEmptyDir(m_root / "usr/bin"));
}

TEST_F(InstalledCopy, AnExistingDirectoryAndItsFilesAreKept)
{
    fs::create_directories(UserDir());
    fs::permissions(UserDir(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    std::ofstream(UserDir() / "keep.bimg") << "x";
    EXPECT_EQ(GetModuleDir(), WinPath(UserDir()) + u"\\");
    EXPECT_TRUE(fs::exists(UserDir() / "keep.bimg"));
    // The owner's choice of mode stays.
    EXPECT_EQ(fs::status(UserDir()).permissions() & fs::perms::group_read, fs::perms::group_read);
}

TEST_F(InstalledCopy, ADirectoryThatCannotBeMadeFailsTheSaveNotTheTool)
{
    // XDG_DATA_HOME names a plain file: the directory cannot exist, the save is refused
    // (the dialog then says 保存配置文件失败！) and still nothing is written into bin.
    std::ofstream(m_root / "data") << "not a directory";
    std::string error;
    EXPECT_FALSE(tarvex::MakeToolDir(Slash(UserDir()), &error));
    EXPECT_NE(error.find("not a directory"), std::string::npos) << error;

    const CString dir = GetModuleDir();
    EXPECT_EQ(dir, WinPath(UserDir()) + u"\\");
    SYSTEM_CONFIG c{};
    EXPECT_EQ(SaveSystemConfig(dir + SYSTEM_CONFIG_FILE_NAME, &c), 0);
    EXPECT_TRUE(IsEmptyDir(m_root / "usr/bin"));
}

TEST_F(InstalledCopy, APortableCopyBesideItIsUntouched)
{
    // Same settings, but this copy lies in a folder of its own: exactly as before.
    fs::create_directories(m_root / "stick");
    platform::OverrideModuleFileName((m_root / "stick/tarvex").string());
    EXPECT_EQ(GetModuleDir(), WinPath(m_root / "stick") + u"\\");
    EXPECT_FALSE(fs::exists(m_root / "data"));
    EXPECT_EQ(tarvex::CurrentToolDir(true).kind, tarvex::ToolDirKind::Portable);
}

TEST_F(InstalledCopy, TheAdministratorsDefaultIsCopiedOnceAndOnlyRead)
{
    const fs::path sys = m_root / "etc/tarvex";
    fs::create_directories(sys);
    const ENC_FILE_HEADER image =
        testsupport::WriteImageFile(sys / "mouse.bimg", "DUNX4V2", testsupport::MakeRawImage(0x5000, 9));
    ASSERT_TRUE(testsupport::WriteConfigFile(sys, testsupport::MakeConfig(u"mouse.bimg", image, u"admin")));
    const auto sysCfgTime = fs::last_write_time(sys / "Tarvex.cfg");

    const CString dir = GetModuleDir();
    SYSTEM_CONFIG c{};
    ASSERT_EQ(LoadSystemConfig(dir + SYSTEM_CONFIG_FILE_NAME, &c), 1);
    EXPECT_EQ(CString(c.szPassword), CString(u"admin"));
    ENC_FILE_HEADER header{};
    BYTE* data = nullptr;
    EXPECT_EQ(ReadAppImage(dir + u"mouse.bimg", &c, &header, &data), AppImageCheck::Ok);
    std::free(data);
    EXPECT_FALSE(fs::exists(UserDir() / "Tarvex.cfg.seed~"));

    // The user's own configuration, once saved, is never replaced by the default.
    c.bAutoUpgrade = 1;
    ASSERT_EQ(SaveSystemConfig(dir + SYSTEM_CONFIG_FILE_NAME, &c), 1);
    GetModuleDir();
    SYSTEM_CONFIG mine{};
    ASSERT_EQ(LoadSystemConfig(dir + SYSTEM_CONFIG_FILE_NAME, &mine), 1);
    EXPECT_EQ(mine.bAutoUpgrade, 1);
    EXPECT_EQ(fs::last_write_time(sys / "Tarvex.cfg"), sysCfgTime);
    EXPECT_TRUE(IsEmptyDir(m_root / "usr/bin"));
}

TEST(SeedToolDir, CopiesOnlyAReadableDefaultAndKeepsTheUsersFiles)
{
    TempDir t;
    const fs::path sys = t / "sys", user = t / "user";
    fs::create_directories(sys);
    fs::create_directories(user);

    // No default, or one that does not read as a configuration: nothing is copied.
    EXPECT_FALSE(tarvex::SeedToolDir(Slash(user), Slash(sys)));
    std::ofstream(sys / "Tarvex.cfg") << "garbage";
    EXPECT_FALSE(tarvex::SeedToolDir(Slash(user), Slash(sys)));
    EXPECT_TRUE(IsEmptyDir(user));
    EXPECT_FALSE(tarvex::SeedToolDir(Slash(user), ""));

    // An image of the same name already in the user's directory is kept as it is.
    const ENC_FILE_HEADER image =
        testsupport::WriteImageFile(sys / "mouse.bimg", "DUNX4V2", testsupport::MakeRawImage(0x5000, 1));
    ASSERT_TRUE(testsupport::WriteConfigFile(sys, testsupport::MakeConfig(u"mouse.bimg", image)));
    std::ofstream(user / "mouse.bimg") << "the user's own";
    EXPECT_TRUE(tarvex::SeedToolDir(Slash(user), Slash(sys)));
    std::ifstream kept(user / "mouse.bimg");
    std::string text((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "the user's own");
    EXPECT_TRUE(fs::exists(user / "Tarvex.cfg"));
    EXPECT_FALSE(tarvex::SeedToolDir(Slash(user), Slash(sys))); // only while there is none

    // A configuration naming a path rather than a file copies nothing from elsewhere.
    const fs::path user2 = t / "a/user2";
    fs::create_directories(user2);
    std::ofstream(t / "secret.bimg") << "x";
    ASSERT_TRUE(testsupport::WriteConfigFile(sys, testsupport::MakeConfig(u"..\\secret.bimg", image)));
    EXPECT_TRUE(tarvex::SeedToolDir(Slash(user2), Slash(sys)));
    EXPECT_FALSE(fs::exists(t / "a/secret.bimg"));
    EXPECT_FALSE(fs::exists(t / "a/secret.bimg.seed~"));
    EXPECT_EQ(std::distance(fs::directory_iterator(user2), fs::directory_iterator()), 1);
}
