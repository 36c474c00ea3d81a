// The image reader: one file per failed check, in both of its uses, and its guards.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>

#include "encfile/AppImage.h"
#include "platform/Kernel.h"
#include "tests/support/FifoGuard.h"
#include "tests/support/ImageFactory.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

class ImageReader : public ::testing::Test
{
protected:
    void SetUp() override
    {
        platform::OverrideModuleFileName((dir.Path() / "tarvex").string());
        raw = MakeRawImage(0x8000, 7);
        header = WriteImageFile(dir / "app.bimg", "DUNX4V2", raw);
        config = MakeConfig(u"app.bimg", header);
    }
    void TearDown() override { platform::OverrideModuleFileName(""); }

    AppImageCheck Load(const SYSTEM_CONFIG& c)
    {
        ENC_FILE_HEADER h{};
        BYTE* data = nullptr;
        AppImageCheck r = LoadAppImage(c, &h, &data);
        EXPECT_EQ(data != nullptr, r == AppImageCheck::Ok);
        std::free(data);
        return r;
    }
    AppImageCheck LoadFile(const std::vector<BYTE>& bytes)
    {
        WriteBytes(dir / "app.bimg", bytes);
        return Load(config);
    }
    AppImageCheck Pick(const std::string& name)
    {
        ENC_FILE_HEADER h{};
        return ReadAppImage(WinPath(dir / name), nullptr, &h, nullptr);
    }
    std::vector<BYTE> Resized(DWORD size)
    {
        std::vector<BYTE> r = MakeRawImage(size, 3);
        std::vector<BYTE> bytes = EncodeImage("DUNX4V2", r);
        config.dwAppCrc = HeaderFromBytes(bytes.data()).dwDataCrc;
        return bytes;
    }

    TempDir dir;
    std::vector<BYTE> raw;
    ENC_FILE_HEADER header{};
    SYSTEM_CONFIG config{};
};

} // namespace

TEST_F(ImageReader, LoadsTheConfiguredImageAndHandsOverItsBytes)
{
    ENC_FILE_HEADER h{};
    BYTE* data = nullptr;
    ASSERT_EQ(LoadAppImage(config, &h, &data), AppImageCheck::Ok);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::memcmp(&h, &header, sizeof h), 0);
    EXPECT_EQ(std::memcmp(data, raw.data(), raw.size()), 0);
    std::free(data);

    // Bytes after the payload are not part of it.
    std::vector<BYTE> bytes = ReadBytes(dir / "app.bimg");
    bytes.insert(bytes.end(), 100, 0x11);
    EXPECT_EQ(LoadFile(bytes), AppImageCheck::Ok);
}

TEST_F(ImageReader, EachFailedCheckHasItsOwnResult)
{
    const std::vector<BYTE> good = ReadBytes(dir / "app.bimg");

    SYSTEM_CONFIG empty = config;
    empty.szAppFile[0] = 0;
    EXPECT_EQ(Load(empty), AppImageCheck::NotConfigured);
    EXPECT_EQ(Load(SYSTEM_CONFIG{}), AppImageCheck::NotConfigured);

    SYSTEM_CONFIG missing = MakeConfig(u"none.bimg", header);
    EXPECT_EQ(Load(missing), AppImageCheck::OpenFailed);

    EXPECT_EQ(LoadFile(std::vector<BYTE>(good.begin(), good.begin() + 31)), AppImageCheck::HeaderReadFailed);

    std::vector<BYTE> bad = good;
    bad[5] ^= 1; // header CRC
    EXPECT_EQ(LoadFile(bad), AppImageCheck::InvalidHeader);

    // A configuration file is a valid container, but not an image.
    ASSERT_TRUE(WriteConfigFile(dir.Path(), config));
    // Removed first: mingw's libstdc++ 12 refuses overwrite_existing with "File exists".
    fs::remove(dir / "app.bimg");
    fs::copy_file(dir / "Tarvex.cfg", dir / "app.bimg");
    EXPECT_EQ(Load(config), AppImageCheck::NotAppImage);

    WriteBytes(dir / "app.bimg", good);
    SYSTEM_CONFIG otherCrc = config;
    otherCrc.dwAppCrc ^= 1;
    EXPECT_EQ(Load(otherCrc), AppImageCheck::CrcMismatch);
    SYSTEM_CONFIG otherName = config;
    otherName.szAppName[7] = 'X';
    EXPECT_EQ(Load(otherName), AppImageCheck::NameMismatch);

    bad = good;
    bad[32 + 0x5000] ^= 0x80;
    EXPECT_EQ(LoadFile(bad), AppImageCheck::VerifyFailed);

    // The header claims a byte more than the file holds.
    EXPECT_EQ(LoadFile(std::vector<BYTE>(good.begin(), good.end() - 1)), AppImageCheck::DataReadFailed);
}

TEST_F(ImageReader, RefusesSizesThatCannotBePatchedOrAddressed)
{
    EXPECT_EQ(LoadFile(Resized(APP_IMAGE_MIN_SIZE - 1)), AppImageCheck::BadImageSize);
    EXPECT_EQ(LoadFile(Resized(0)), AppImageCheck::BadImageSize);
    EXPECT_EQ(LoadFile(Resized(APP_IMAGE_MAX_SIZE + 1)), AppImageCheck::BadImageSize);
    EXPECT_EQ(LoadFile(Resized(APP_IMAGE_MIN_SIZE)), AppImageCheck::Ok);
    EXPECT_EQ(LoadFile(Resized(APP_IMAGE_MAX_SIZE)), AppImageCheck::Ok);
}

TEST_F(ImageReader, HugeClaimedSizeFailsAsReadWithoutAllocating)
{
    // A header claiming 64 KiB on a file of a few hundred bytes: refused before any block
    // of that size exists (under ASan an allocation would still be caught as a leak or
    // overflow; the result shows which check stopped it).
    std::vector<BYTE> bytes = Resized(APP_IMAGE_MAX_SIZE);
    bytes.resize(300);
    EXPECT_EQ(LoadFile(bytes), AppImageCheck::DataReadFailed);
}

TEST_F(ImageReader, ConfiguredNameMustStayInTheToolsDirectory)
{
    fs::create_directory(dir / "sub");
    WriteImageFile(dir / "sub" / "x.bimg", "DUNX4V2", raw);
    // Would resolve to the very image the configuration may name, but through the parent.
    const std::u16string around = u"..\\" + CString::FromUtf8(dir.Path().filename().string()).Str() + u"\\app.bimg";
    for (const std::u16string& name : std::initializer_list<std::u16string>{u"sub\\x.bimg", u"sub/x.bimg", around, u"../x.bimg", u".", u"..", u"C:x.bimg"}) {
        EXPECT_EQ(Load(MakeConfig(name, header)), AppImageCheck::BadFileName) << CString(name).ToUtf8();
    }

    // A name without terminator in its 260 units.
    SYSTEM_CONFIG full = config;
    for (auto& u : full.szAppFile) u = u'a';
    EXPECT_EQ(Load(full), AppImageCheck::BadFileName);
}

#ifndef _WIN32 // names that are not UTF-8 exist only where names are bytes
TEST_F(ImageReader, DotsAndBytesThatAreNotUtf8AreOrdinaryNames)
{
    // ".." is refused above as a path component only; inside a name it means nothing.
    WriteImageFile(dir / "a..b.bimg", "DUNX4V2", raw);
    EXPECT_EQ(Load(MakeConfig(u"a..b.bimg", header)), AppImageCheck::Ok);
    // A Linux name is bytes: one that is not UTF-8 comes back as the same file.
    const std::string odd = "fw\xFF\xC3.bimg";
    WriteImageFile(dir / odd, "DUNX4V2", raw);
    const CString name = WinPath(odd);
    EXPECT_EQ(Load(MakeConfig(name.Str(), header)), AppImageCheck::Ok);
    EXPECT_EQ(Pick(odd), AppImageCheck::Ok);
}
#endif

TEST_F(ImageReader, BytesAfterTheDeclaredDataAreIgnored)
{
    std::vector<BYTE> bytes = EncodeImage("DUNX4V2", raw);
    bytes.resize(bytes.size() + 100000, 0xA5);
    EXPECT_EQ(LoadFile(bytes), AppImageCheck::Ok);
}

#ifndef _WIN32 // FIFOs
TEST_F(ImageReader, OnlyRegularFilesAreReadAndAFifoDoesNotWait)
{
    ASSERT_EQ(::mkfifo((dir / "fifo.bimg").c_str(), 0600), 0);
    bool waited = false;
    EXPECT_EQ(CallWithoutWaitingOn(dir / "fifo.bimg", [&] { return Pick("fifo.bimg"); }, &waited),
              AppImageCheck::OpenFailed);
    EXPECT_FALSE(waited);
    ENC_FILE_HEADER h{};
    EXPECT_EQ(ReadAppImage(u"\\dev\\zero", nullptr, &h, nullptr), AppImageCheck::OpenFailed);
}
#endif

TEST_F(ImageReader, PickChecksTheContainerOnlyAndKeepsNothing)
{
    // No configuration to match: any valid image passes.
    WriteImageFile(dir / "new.bimg", "OTHER", MakeRawImage(0x4200, 9));
    ENC_FILE_HEADER h{};
    ASSERT_EQ(ReadAppImage(WinPath(dir / "new.bimg"), nullptr, &h, nullptr), AppImageCheck::Ok);
    EXPECT_EQ(std::string(h.szName, 5), "OTHER");
    EXPECT_EQ(h.dwDataSize, 0x4200u);

    EXPECT_EQ(Pick("none.bimg"), AppImageCheck::OpenFailed);
    ASSERT_TRUE(WriteConfigFile(dir.Path(), config));
    EXPECT_EQ(Pick("Tarvex.cfg"), AppImageCheck::NotAppImage);

    // The extract use: container checks, bytes handed over.
    BYTE* data = nullptr;
    ASSERT_EQ(ReadAppImage(WinPath(dir / "app.bimg"), nullptr, &h, &data), AppImageCheck::Ok);
    EXPECT_EQ(std::memcmp(data, raw.data(), raw.size()), 0);
    std::free(data);
}

TEST_F(ImageReader, FileHeldWithoutSharingCannotBeOpened)
{
    HANDLE held = CreateFileW(WinPath(dir / "app.bimg"), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Load(config), AppImageCheck::OpenFailed);
    CloseHandle(held);
    EXPECT_EQ(Load(config), AppImageCheck::Ok);
}

TEST(ImageTexts, EachDialogHasItsOwnWording)
{
    EXPECT_EQ(LoadAppImageText(AppImageCheck::Ok), nullptr);
    EXPECT_EQ(LoadAppImageText(AppImageCheck::NotConfigured), nullptr);
    EXPECT_EQ(CString(LoadAppImageText(AppImageCheck::OpenFailed)), CString(u"无法找到鼠标应用文件！"));
    EXPECT_EQ(CString(PickAppImageText(AppImageCheck::OpenFailed)), CString(u"打开鼠标文件失败！"));
    EXPECT_EQ(CString(LoadAppImageText(AppImageCheck::NotAppImage)), CString(u"不是鼠标应用文件！"));
    EXPECT_EQ(CString(PickAppImageText(AppImageCheck::NotAppImage)), CString(u"不是DUN-X4游戏鼠标应用文件！"));
    EXPECT_EQ(CString(LoadAppImageText(AppImageCheck::DataReadFailed)), CString(u"读鼠标应用文件失败！"));
    EXPECT_EQ(CString(PickAppImageText(AppImageCheck::DataReadFailed)), CString(u"读鼠标应用文件数据失败！"));
    // The shared ones.
    for (AppImageCheck c : {AppImageCheck::HeaderReadFailed, AppImageCheck::InvalidHeader, AppImageCheck::CodecInitFailed,
                            AppImageCheck::OutOfMemory, AppImageCheck::VerifyFailed, AppImageCheck::BadImageSize}) {
        ASSERT_NE(LoadAppImageText(c), nullptr);
        EXPECT_EQ(CString(LoadAppImageText(c)), CString(PickAppImageText(c)));
    }
    EXPECT_EQ(CString(LoadAppImageText(AppImageCheck::VerifyFailed)), CString(u"鼠标应用文件解码验证失败！"));
}

TEST(ImageEncode, RefusesNamesLongerThanEightBytes)
{
    std::vector<BYTE> out, raw(16, 1);
    EXPECT_EQ(EncodeAppImage("NINECHARS", raw.data(), 16, 0, out), -1);
    EXPECT_TRUE(out.empty());
    ASSERT_EQ(EncodeAppImage("EIGHTCHR", raw.data(), 16, 0, out), 0);
    EXPECT_EQ(std::memcmp(HeaderFromBytes(out.data()).szName, "EIGHTCHR", 8), 0);
}
