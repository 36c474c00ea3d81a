// Tarvex.cfg: round trip, on-disk layout, every refusal, and the save that never loses the
// previous file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>

#include "encfile/SystemConfig.h"
#include "platform/Kernel.h"
#include "tests/support/FifoGuard.h"
#include "tests/support/ImageFactory.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

SYSTEM_CONFIG SampleConfig()
{
    SYSTEM_CONFIG c{};
    WcsCopyField(c.szAppFile, CONFIG_TEXT_UNITS, CString(u"mouse.bimg"));
    std::memcpy(c.szAppName, "DUNX4-01", 8); // all eight bytes, no terminator
    c.dwAppCrc = 0xA55A;
    c.wProgramID = 0x2A3B;
    c.wProgramVer = 0x0305;
    c.bAutoUpgrade = 1;
    c.bSaveUserData = 1;
    WcsCopyField(c.szTitle, CONFIG_TEXT_UNITS, CString(u"鼠标升级"));
    WcsCopyField(c.szPassword, CONFIG_TEXT_UNITS, CString(u"s3cret"));
    c.szTitle[200] = u'x'; // after the terminator: kept as it stands
    return c;
}

class ConfigFile : public ::testing::Test
{
protected:
    CString CfgPath() const { return WinPath(dir / "Tarvex.cfg"); }
    TempDir dir;
};

} // namespace

TEST_F(ConfigFile, SaveThenLoadGivesTheSameRecord)
{
    SYSTEM_CONFIG c = SampleConfig();
    ASSERT_EQ(SaveSystemConfig(CfgPath(), &c), 1);
    EXPECT_EQ(fs::file_size(dir / "Tarvex.cfg"), 1624u);
    SYSTEM_CONFIG back{};
    ASSERT_EQ(LoadSystemConfig(CfgPath(), &back), 1);
    EXPECT_EQ(std::memcmp(&back, &c, sizeof c), 0);
    // Nothing but the file itself stays behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST_F(ConfigFile, OnDiskRecordIsLittleEndianWithFixedOffsets)
{
    SYSTEM_CONFIG c = SampleConfig();
    ASSERT_EQ(SaveSystemConfig(CfgPath(), &c), 1);
    std::vector<BYTE> file = ReadBytes(dir / "Tarvex.cfg");
    ASSERT_EQ(file.size(), 1624u);
    ENC_FILE_HEADER h = HeaderFromBytes(file.data());
    EXPECT_EQ(h.dwFileType, FILE_TYPE_CONFIG);
    EXPECT_EQ(h.dwDataSize, CONFIG_DATA_SIZE);
    EXPECT_EQ(std::memcmp(h.szName, "\0\0\0\0\0\0\0\0", 8), 0);
    ASSERT_EQ(InitFileCodec(&h), 0);
    ASSERT_EQ(DecodeFileData(&h, file.data() + 32, CONFIG_DATA_SIZE), 0);
    ASSERT_EQ(VerifyFileData(&h), 0);
    const BYTE* p = file.data() + 32;
    EXPECT_EQ(p[0], 'm');
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(std::memcmp(p + 520, "DUNX4-01", 8), 0);
    EXPECT_EQ(p[528], 0x5A);
    EXPECT_EQ(p[529], 0xA5);
    EXPECT_EQ(p[532], 0x3B);
    EXPECT_EQ(p[533], 0x2A);
    EXPECT_EQ(p[534], 0x05); // minor
    EXPECT_EQ(p[535], 0x03); // major
    EXPECT_EQ(p[536], 1);
    EXPECT_EQ(p[540], 0);
    EXPECT_EQ(p[548], 1);
    EXPECT_EQ(p[552], 0x20); // U+9F20, low byte first
    EXPECT_EQ(p[553], 0x9F);
    EXPECT_EQ(p[552 + 400], 'x');
    EXPECT_EQ(p[1072], 's');
}

TEST_F(ConfigFile, TwoSavesDifferOnlyInTimeAndHeaderCrc)
{
    SYSTEM_CONFIG c = SampleConfig();
    ASSERT_EQ(SaveSystemConfig(CfgPath(), &c), 1);
    std::vector<BYTE> a = ReadBytes(dir / "Tarvex.cfg");
    ASSERT_EQ(SaveSystemConfig(CfgPath(), &c), 1);
    std::vector<BYTE> b = ReadBytes(dir / "Tarvex.cfg");
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        if (i < 4 || i >= 12) {
            EXPECT_EQ(a[i], b[i]) << i;
        }
}

TEST_F(ConfigFile, RefusesMissingTruncatedForeignAndCorruptFiles)
{
    SYSTEM_CONFIG c = SampleConfig();
    SYSTEM_CONFIG out{};
    out.wProgramID = 0x7777;
    EXPECT_EQ(ReadSystemConfig(CfgPath(), &out), ConfigCheck::OpenFailed);

    ASSERT_EQ(SaveSystemConfig(CfgPath(), &c), 1);
    std::vector<BYTE> good = ReadBytes(dir / "Tarvex.cfg");

    WriteBytes(dir / "Tarvex.cfg", std::vector<BYTE>(good.begin(), good.begin() + 20));
    EXPECT_EQ(ReadSystemConfig(CfgPath(), &out), ConfigCheck::HeaderReadFailed);
    WriteBytes(dir / "Tarvex.cfg", std::vector<BYTE>(good.begin(), good.end() - 1));
    EXPECT_EQ(ReadSystemConfig(CfgPath(), &out), ConfigCheck::DataReadFailed);

    std::vector<BYTE> bad = good;
    bad[0] = '2';
    WriteBytes(dir / "Tarvex.cfg", bad);
    EXPECT_EQ(ReadSystemConfig(CfgPath(), &out), ConfigCheck::InvalidHeader);

    bad = good;
    bad[32 + 700] ^= 0x40;
    WriteBytes(dir / "Tarvex.cfg", bad);
    EXPECT_EQ(ReadSystemConfig(CfgPath(), &out), ConfigCheck::VerifyFailed);

    // A valid image stored under the configuration's name.
    WriteBytes(dir / "Tarvex.cfg", EncodeImage("IMG", MakeRawImage(CONFIG_DATA_SIZE, 1)));
    EXPECT_EQ(ReadSystemConfig(CfgPath(), &out), ConfigCheck::NotConfig);

    // A directory of that name.
    fs::remove(dir / "Tarvex.cfg");
    fs::create_directory(dir / "Tarvex.cfg");
    EXPECT_EQ(LoadSystemConfig(CfgPath(), &out), 0);

    // A failed load leaves the caller's record alone.
    EXPECT_EQ(out.wProgramID, 0x7777);
}

TEST_F(ConfigFile, SurplusAfterTheRecordIsIgnored)
{
    SYSTEM_CONFIG c = SampleConfig();
    ASSERT_EQ(SaveSystemConfig(CfgPath(), &c), 1);
    std::vector<BYTE> file = ReadBytes(dir / "Tarvex.cfg");
    file.insert(file.end(), 500, 0xCC);
    WriteBytes(dir / "Tarvex.cfg", file);
    SYSTEM_CONFIG back{};
    ASSERT_EQ(LoadSystemConfig(CfgPath(), &back), 1);
    EXPECT_EQ(std::memcmp(&back, &c, sizeof c), 0);
}

TEST_F(ConfigFile, FileHeldWithoutSharingRefusesLoadAndSave)
{
    SYSTEM_CONFIG c = SampleConfig();
    ASSERT_EQ(SaveSystemConfig(CfgPath(), &c), 1);
    std::vector<BYTE> before = ReadBytes(dir / "Tarvex.cfg");

    HANDLE h = CreateFileW(CfgPath(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SYSTEM_CONFIG out{};
    EXPECT_EQ(LoadSystemConfig(CfgPath(), &out), 0);
    SYSTEM_CONFIG changed = c;
    changed.wProgramID = 0x1111;
    EXPECT_EQ(SaveSystemConfig(CfgPath(), &changed), 0);
    CloseHandle(h);

    // The refused save kept the previous file and left no temporary file.
    EXPECT_EQ(ReadBytes(dir / "Tarvex.cfg"), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
    ASSERT_EQ(SaveSystemConfig(CfgPath(), &changed), 1);
    ASSERT_EQ(LoadSystemConfig(CfgPath(), &out), 1);
    EXPECT_EQ(out.wProgramID, 0x1111);
}

TEST_F(ConfigFile, FailedSaveKeepsThePreviousFile)
{
    SYSTEM_CONFIG c = SampleConfig();
    // Target is a directory: nothing can replace it, nothing is left behind.
    fs::create_directory(dir / "Tarvex.cfg");
    EXPECT_EQ(SaveSystemConfig(CfgPath(), &c), 0);
    EXPECT_TRUE(fs::is_directory(dir / "Tarvex.cfg"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);

    // A directory that does not exist.
    EXPECT_EQ(SaveSystemConfig(WinPath(dir / "missing" / "Tarvex.cfg"), &c), 0);
    EXPECT_FALSE(fs::exists(dir / "missing"));

    // Neither save left a temporary behind.
    fs::remove(dir / "Tarvex.cfg");
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

#ifndef _WIN32 // modes, owners, symlinks and FIFOs
TEST_F(ConfigFile, SaveKeepsModeOwnerAndLink)
{
    SYSTEM_CONFIG c = SampleConfig();
    ASSERT_EQ(SaveSystemConfig(WinPath(dir / "real.cfg"), &c), 1);
    // The password is in there: a file made private must stay private, and stay its owner's.
    ASSERT_EQ(::chmod((dir / "real.cfg").c_str(), 0600), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown((dir / "real.cfg").c_str(), 4321, 4322), 0);
    }
    fs::create_symlink("real.cfg", dir / "Tarvex.cfg");
    c.wProgramID = 0x7777;
    ASSERT_EQ(SaveSystemConfig(CfgPath(), &c), 1);
    EXPECT_TRUE(fs::is_symlink(dir / "Tarvex.cfg"));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "real.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (root) {
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 4322u);
    }
    SYSTEM_CONFIG back{};
    ASSERT_EQ(LoadSystemConfig(WinPath(dir / "real.cfg"), &back), 1);
    EXPECT_EQ(back.wProgramID, 0x7777);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 2);
}

TEST_F(ConfigFile, PlantedTemporariesNeitherBlockNorCatchTheSave)
{
    WriteBytes(dir / "victim", std::vector<BYTE>(10, 0xEE));
    fs::create_symlink(dir / "victim", dir / "Tarvex.cfg.save~");
    SYSTEM_CONFIG c = SampleConfig();
    ASSERT_EQ(SaveSystemConfig(CfgPath(), &c), 1);
    EXPECT_EQ(ReadBytes(dir / "victim"), std::vector<BYTE>(10, 0xEE));
    EXPECT_FALSE(fs::is_symlink(dir / "Tarvex.cfg"));
    fs::remove(dir / "Tarvex.cfg.save~");
    fs::create_directory(dir / "Tarvex.cfg.save~");
    c.bAutoReset = 1;
    ASSERT_EQ(SaveSystemConfig(CfgPath(), &c), 1);
    SYSTEM_CONFIG back{};
    ASSERT_EQ(LoadSystemConfig(CfgPath(), &back), 1);
    EXPECT_EQ(back.bAutoReset, 1);
    EXPECT_TRUE(fs::is_directory(dir / "Tarvex.cfg.save~"));
}

TEST_F(ConfigFile, AFifoOrDeviceIsRefusedAtOnce)
{
    const fs::path fifo = dir / "Tarvex.cfg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    bool waited = false;
    SYSTEM_CONFIG c = SampleConfig();
    EXPECT_EQ(CallWithoutWaitingOn(fifo, [&] { return LoadSystemConfig(CfgPath(), &c); }, &waited), 0);
    EXPECT_FALSE(waited);
    EXPECT_EQ(CallWithoutWaitingOn(fifo, [&] { return IsFileExist(CfgPath()); }, &waited), 0);
    EXPECT_FALSE(waited);
    // Not replaced by a regular file either.
    EXPECT_EQ(CallWithoutWaitingOn(fifo, [&] { return SaveSystemConfig(CfgPath(), &c); }, &waited), 0);
    EXPECT_FALSE(waited);
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo)));
    EXPECT_EQ(LoadSystemConfig(u"\\dev\\zero", &c), 0);
}
#endif

TEST(ModuleDir, AnyDirectoryNameHoldsTheToolsFiles)
{
    // The tool in a directory whose name is not UTF-8 still saves and loads its own files.
    TempDir dir;
    const fs::path odd = dir / "tool\xFF\xE9";
    fs::create_directory(odd);
    platform::OverrideModuleFileName((odd / "tarvex").string());
    const CString cfg = GetModuleDir() + SYSTEM_CONFIG_FILE_NAME;
    const std::vector<BYTE> raw = MakeRawImage(0x4200, 5);
    const ENC_FILE_HEADER image = WriteImageFile(odd / "fw\x80.bimg", "DUNX4V2", raw);
    SYSTEM_CONFIG c = MakeConfig(WinPath("fw\x80.bimg").Str(), image);
    const BOOL saved = SaveSystemConfig(cfg, &c);
    SYSTEM_CONFIG back{};
    const BOOL loaded = LoadSystemConfig(cfg, &back);
    ENC_FILE_HEADER h{};
    const AppImageCheck imageCheck = LoadAppImage(back, &h, nullptr);
    platform::OverrideModuleFileName("");
    EXPECT_EQ(saved, 1);
    EXPECT_TRUE(fs::exists(odd / "Tarvex.cfg"));
    EXPECT_EQ(loaded, 1);
    EXPECT_EQ(std::memcmp(&back, &c, sizeof c), 0);
    EXPECT_EQ(imageCheck, AppImageCheck::Ok);
}

TEST(ModuleDir, KeepsTheWholeLongPathWithTrailingBackslash)
{
    std::string deep = "/opt";
    while (deep.size() < 1500) deep += "/install-directory-level";
    platform::OverrideModuleFileName(deep + "/tarvex");
    CString d = GetModuleDir();
    platform::OverrideModuleFileName("");
    EXPECT_EQ(d, platform::WindowsPath(deep + "/"));
    EXPECT_EQ(d[d.GetLength() - 1], u'\\');

    CString real = GetModuleDir();
    ASSERT_FALSE(real.IsEmpty());
    EXPECT_EQ(real[real.GetLength() - 1], u'\\');
}

TEST(FileExist, OpensForReadingWithSharing)
{
    TempDir dir;
    EXPECT_EQ(IsFileExist(WinPath(dir / "none")), 0);
    EXPECT_EQ(IsFileExist(WinPath(dir.Path())), 0); // a directory is not a file
    WriteBytes(dir / "f", {1, 2, 3});
    EXPECT_EQ(IsFileExist(WinPath(dir / "f")), 1);
    HANDLE h = CreateFileW(WinPath(dir / "f"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(IsFileExist(WinPath(dir / "f")), 1);
    CloseHandle(h);
}
