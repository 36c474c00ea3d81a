// tarvexctl end to end: the built binary on real files, read back with the library.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "encfile/AppImage.h"
#include "encfile/SystemConfig.h"
#include "platform/Kernel.h"
#include "tests/support/ImageFactory.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

std::string Quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string Slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class Tarvexctl : public ::testing::Test
{
protected:
    Result Run(const std::vector<std::string>& args)
    {
        std::string cmd = Quote(TARVEXCTL_PATH);
        for (const auto& a : args) cmd += " " + Quote(a);
        cmd += " >" + Quote((dir / "stdout").string()) + " 2>" + Quote((dir / "stderr").string());
        int rc = std::system(cmd.c_str());
        Result r;
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        r.out = Slurp(dir / "stdout");
        r.err = Slurp(dir / "stderr");
        fs::remove(dir / "stdout");
        fs::remove(dir / "stderr");
        return r;
    }
    std::string P(const std::string& name) const { return (dir / name).string(); }
    SYSTEM_CONFIG LoadCfg(const std::string& name)
    {
        SYSTEM_CONFIG c{};
        EXPECT_EQ(LoadSystemConfig(WinPath(dir / name), &c), 1);
        return c;
    }
    void MakeImage(const std::string& name = "fw.bimg", std::size_t size = 0x6000)
    {
        raw = MakeRawImage(size, 11);
        WriteBytes(dir / "fw.bin", raw);
        Result r = Run({"img", "make", "--name", "DUNX4V2", "--out", P(name), P("fw.bin")});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    TempDir dir;
    std::vector<BYTE> raw;
};

bool OneJsonObject(const std::string& s)
{
    return s.size() > 2 && s.front() == '{' && s.compare(s.size() - 2, 2, "}\n") == 0 &&
           s.find('\n') == s.size() - 1;
}

} // namespace

TEST_F(Tarvexctl, ImageMakeShowExtractRoundTrip)
{
    raw = MakeRawImage(0x5000, 4);
    WriteBytes(dir / "fw.bin", raw);
    Result r = Run({"img", "make", "--name", "DUNX4V2", P("fw.bin")}); // default output beside the raw file
    ASSERT_EQ(r.status, 0) << r.err;
    WORD crc = Crc16Update(0xFFFF, raw.data(), static_cast<DWORD>(raw.size()));
    char crcText[8];
    std::snprintf(crcText, sizeof crcText, "%04X", crc);
    EXPECT_NE(r.out.find("DUNX4V2"), std::string::npos);
    EXPECT_NE(r.out.find("20480"), std::string::npos);
    EXPECT_NE(r.out.find(crcText), std::string::npos);

    ENC_FILE_HEADER h{};
    ASSERT_EQ(ReadAppImage(WinPath(dir / "fw.bimg"), nullptr, &h, nullptr), AppImageCheck::Ok);
    EXPECT_EQ(std::memcmp(h.szName, "DUNX4V2\0", 8), 0);
    EXPECT_EQ(h.dwDataCrc, crc);

    r = Run({"img", "show", "--json", P("fw.bimg")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(OneJsonObject(r.out)) << r.out;
    for (const std::string& part : {std::string("\"dwDataSize\": 20480"), "\"dwDataCrc\": " + std::to_string(crc),
                                    std::string("\"dwFileType\": 9"), std::string("\"szName\": \"DUNX4V2\""),
                                    std::string("\"headerValid\": true"), std::string("\"payloadValid\": true"),
                                    std::string("\"check\": \"ok\"")})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << " in " << r.out;

    r = Run({"img", "extract", P("fw.bimg"), "--out", P("back.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadBytes(dir / "back.bin"), raw);
}

TEST_F(Tarvexctl, CreatedConfigurationLoadsTheImageInTheTool)
{
    MakeImage();
    Result r = Run({"cfg", "create", "--out", P("Tarvex.cfg"), "--image", P("fw.bimg"), "--program-id", "2a3b",
                    "--program-ver", "3.15", "--auto-upgrade", "--save-user-data", "--title", "鼠标升级",
                    "--password", "pw1"});
    ASSERT_EQ(r.status, 0) << r.err;
    SYSTEM_CONFIG c = LoadCfg("Tarvex.cfg");
    EXPECT_EQ(CString(c.szAppFile), CString(u"fw.bimg"));
    EXPECT_EQ(c.wProgramID, 0x2A3B);
    EXPECT_EQ(c.wProgramVer, 0x030F);
    EXPECT_EQ(c.bAutoUpgrade, 1);
    EXPECT_EQ(c.bAutoReset, 0);
    EXPECT_EQ(c.bVersionCheck, 0);
    EXPECT_EQ(c.bSaveUserData, 1);
    EXPECT_EQ(CString(c.szTitle), CString(u"鼠标升级"));
    EXPECT_EQ(CString(c.szPassword), CString(u"pw1"));

    // The tool, run from this directory, accepts the pair.
    platform::OverrideModuleFileName(P("tarvex"));
    ENC_FILE_HEADER h{};
    BYTE* data = nullptr;
    EXPECT_EQ(LoadAppImage(c, &h, &data), AppImageCheck::Ok);
    platform::OverrideModuleFileName("");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::memcmp(data, raw.data(), raw.size()), 0);
    std::free(data);

    r = Run({"cfg", "show", "--json", P("Tarvex.cfg")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(OneJsonObject(r.out)) << r.out;
    EXPECT_NE(r.out.find("\"szAppFile\": \"fw.bimg\", \"szAppName\": \"DUNX4V2\", \"dwAppCrc\": " +
                         std::to_string(c.dwAppCrc) +
                         ", \"wProgramID\": 10811, \"wProgramVer\": 783, \"bAutoUpgrade\": 1, \"bAutoReset\": 0, "
                         "\"bVersionCheck\": 0, \"bSaveUserData\": 1, \"szTitle\": \"鼠标升级\", \"szPassword\": \"pw1\""),
              std::string::npos)
        << r.out;
}

TEST_F(Tarvexctl, SetChangesOnlyTheGivenFields)
{
    MakeImage();
    ASSERT_EQ(Run({"cfg", "create", "--out", P("Tarvex.cfg"), "--image", P("fw.bimg"), "--program-id", "1",
                   "--program-ver", "1.0", "--auto-upgrade", "--title", "T", "--password", "pw"})
                  .status,
              0);
    SYSTEM_CONFIG before = LoadCfg("Tarvex.cfg");
    Result r = Run({"cfg", "set", P("Tarvex.cfg"), "--no-auto-upgrade", "--version-check", "--title", "a\"b\\c\nd\x01"});
    ASSERT_EQ(r.status, 0) << r.err;
    SYSTEM_CONFIG after = LoadCfg("Tarvex.cfg");
    SYSTEM_CONFIG expected = before;
    expected.bAutoUpgrade = 0;
    expected.bVersionCheck = 1;
    std::memset(expected.szTitle, 0, sizeof expected.szTitle);
    WcsCopyField(expected.szTitle, CONFIG_TEXT_UNITS, CString(u"a\"b\\c\nd\x01"));
    EXPECT_EQ(std::memcmp(&after, &expected, sizeof after), 0);

    r = Run({"cfg", "show", "--json", P("Tarvex.cfg")});
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\"szTitle\": \"a\\\"b\\\\c\\nd\\u0001\""), std::string::npos) << r.out;

    // A new image replaces name and CRC together.
    WriteBytes(dir / "fw2.bin", MakeRawImage(0x4106, 99));
    ASSERT_EQ(Run({"img", "make", "--name", "NEW", "--out", P("fw2.bimg"), P("fw2.bin")}).status, 0);
    ASSERT_EQ(Run({"cfg", "set", P("Tarvex.cfg"), "--image", P("fw2.bimg")}).status, 0);
    SYSTEM_CONFIG swapped = LoadCfg("Tarvex.cfg");
    EXPECT_EQ(CString(swapped.szAppFile), CString(u"fw2.bimg"));
    EXPECT_EQ(std::memcmp(swapped.szAppName, "NEW\0\0\0\0\0", 8), 0);
    EXPECT_NE(swapped.dwAppCrc, after.dwAppCrc);
    EXPECT_EQ(swapped.wProgramID, 1);
}

TEST_F(Tarvexctl, RefusedFilesExitOneAndNameTheCheck)
{
    MakeImage();
    std::vector<BYTE> image = ReadBytes(dir / "fw.bimg");
    image[40] ^= 1;
    WriteBytes(dir / "bad.bimg", image);
    Result r = Run({"img", "show", P("bad.bimg")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("payloadValid:  no"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("'verify'"), std::string::npos) << r.err;

    r = Run({"img", "extract", P("bad.bimg"), "--out", P("x.bin")});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(dir / "x.bin"));

    ASSERT_EQ(Run({"cfg", "create", "--out", P("Tarvex.cfg"), "--password", "pw"}).status, 0);
    r = Run({"cfg", "create", "--out", P("other.cfg"), "--image", P("Tarvex.cfg"), "--password", "pw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("'type'"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "other.cfg"));

    fs::copy_file(dir / "fw.bimg", dir / "CDBoot.bimg");
    r = Run({"cfg", "create", "--out", P("other.cfg"), "--image", P("CDBoot.bimg"), "--password", "pw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cdboot.bimg"), std::string::npos) << r.err;

    std::vector<BYTE> cfg = ReadBytes(dir / "Tarvex.cfg");
    WriteBytes(dir / "short.cfg", std::vector<BYTE>(cfg.begin(), cfg.begin() + 1623));
    r = Run({"cfg", "show", P("short.cfg")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("'data-read'"), std::string::npos) << r.err;
    r = Run({"cfg", "set", P("missing.cfg"), "--auto-reset"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("'open'"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "missing.cfg"));

    WriteBytes(dir / "small.bin", MakeRawImage(0x4105, 1));
    r = Run({"img", "make", "--name", "S", P("small.bin")});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(dir / "small.bimg"));
}

TEST_F(Tarvexctl, UsageErrorsExitTwoAndChangeNothing)
{
    ASSERT_EQ(Run({"cfg", "create", "--out", P("Tarvex.cfg"), "--password", "pw"}).status, 0);
    const std::vector<BYTE> cfg = ReadBytes(dir / "Tarvex.cfg");
    const std::string f = P("Tarvex.cfg");
    const std::string t100(100, 't'), t101(101, 't');
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"img"},
        {"img", "burn", f},
        {"cfg", "show"},
        {"cfg", "show", f, f},
        {"cfg", "show", "--verbose", f},
        {"cfg", "create", "--out", P("n.cfg")},
        {"cfg", "create", "--out", P("n.cfg"), "--password", ""},
        {"cfg", "create", "--out", P("n.cfg"), "--password", t101},
        {"cfg", "set", f, "--title", t101},
        {"cfg", "set", f, "--password", ""},
        {"cfg", "set", f, "--program-id", "10000"},
        {"cfg", "set", f, "--program-id", "xyz"},
        {"cfg", "set", f, "--program-id", ""},
        {"cfg", "set", f, "--program-ver", "256.0"},
        {"cfg", "set", f, "--program-ver", "1"},
        {"cfg", "set", f, "--program-ver", "1.2.3"},
        {"cfg", "set", f, "--program-ver", "-1.2"},
        {"cfg", "set", f, "--auto-reset", "--no-auto-reset"},
        {"cfg", "set", f, "--title", "\xC3\x28"},
        {"cfg", "set", f},
        {"cfg", "set", f, "--program-id"},
        {"img", "make", "--name", "NINECHARS", f},
        {"img", "make", f},
        {"img", "extract", f},
    };
    for (const auto& args : bad) {
        Result r = Run(args);
        std::string line;
        for (const auto& a : args) line += a + " ";
        EXPECT_EQ(r.status, 2) << line << r.err;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << line;
    }
    EXPECT_EQ(ReadBytes(dir / "Tarvex.cfg"), cfg);
    EXPECT_FALSE(fs::exists(dir / "n.cfg"));

    // The limits themselves are allowed.
    EXPECT_EQ(Run({"cfg", "set", f, "--title", t100, "--password", t100, "--program-id", "0xFFFF", "--program-ver", "255.255"}).status, 0);
    SYSTEM_CONFIG c = LoadCfg("Tarvex.cfg");
    EXPECT_EQ(c.wProgramID, 0xFFFF);
    EXPECT_EQ(c.wProgramVer, 0xFFFF);
    EXPECT_EQ(Run({"--help"}).status, 0);
    auto v = Run({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "tarvexctl " TARVEX_VERSION "\n");
    EXPECT_EQ(Run({"--version", "extra"}).status, 2);
}
