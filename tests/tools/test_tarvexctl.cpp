// tarvexctl end to end: the built binary on real files, read back with the library.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

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
#include "tests/support/Process.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// The binary under test; TARVEXCTL in the environment points the suite at another build.
const char* TarvexctlPath()
{
    const char* env = std::getenv("TARVEXCTL");
    return env && *env ? env : TARVEXCTL_PATH;
}

// A started tarvexctl whose output goes to files.
pid_t Spawn(const std::vector<std::string>& args, const fs::path& out, const fs::path& err)
{
    std::vector<std::string> all{TarvexctlPath()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string outPath = out.string(), errPath = err.string();
    pid_t pid = ::fork();
    if (pid == 0) {
        int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

struct Waited {
    int status = -1;       // exit status, -1 when killed or crashed
    bool timedOut = false; // still running after the bound, then killed
    long maxRssKiB = 0;
};

// Waits for pid up to `seconds`, then kills it.
Waited WaitBounded(pid_t pid, int seconds)
{
    Waited w;
    int st = 0;
    struct rusage ru {};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        pid_t r = ::wait4(pid, &st, WNOHANG, &ru);
        if (r == pid) break;
        if (r < 0) return w;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::wait4(pid, &st, 0, &ru);
            w.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    w.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    w.maxRssKiB = ru.ru_maxrss;
    return w;
}

// True when s is UTF-8 throughout.
bool ValidUtf8(const std::string& s) { return CString::FromUtf8(s).ToUtf8() == s; }

class Tarvexctl : public ::testing::Test
{
protected:
    Result Run(const std::vector<std::string>& args) { return RunCaptured(TarvexctlPath(), args, dir.Path()); }
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
    // Runs with a bound on time, for inputs that could make a careless reader wait forever.
    Waited RunBounded(const std::vector<std::string>& args, Result* output = nullptr, int seconds = 30)
    {
        Waited w = WaitBounded(Spawn(args, dir / "stdout", dir / "stderr"), seconds);
        if (output) {
            output->status = w.status;
            output->out = Slurp(dir / "stdout");
            output->err = Slurp(dir / "stderr");
        }
        fs::remove(dir / "stdout");
        fs::remove(dir / "stderr");
        return w;
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
}

// The manual page documents every command of the table that drives dispatch and --help.
TEST_F(Tarvexctl, TheManualPageDocumentsEveryCommand)
{
    const Result r = Run({"--help"});
    ASSERT_EQ(r.status, 0);
    std::ifstream in(std::string(TARVEX_SOURCE_DIR) + "/packaging/man/tarvexctl.1.in");
    std::stringstream man;
    man << in.rdbuf();
    const std::string page = man.str();
    const auto commandsAt = page.find(".SH COMMANDS");
    ASSERT_NE(commandsAt, std::string::npos);
    std::istringstream overview(r.out.substr(r.out.find("commands:")));
    std::string line;
    int n = 0;
    std::getline(overview, line);
    while (std::getline(overview, line) && line.rfind("  ", 0) == 0) {
        // "  img make      encode ...": the command is the words before the wide gap.
        const std::string name = line.substr(2, line.find("  ", 2) - 2);
        ++n;
        EXPECT_NE(page.find("\n.B " + name, commandsAt), std::string::npos) << name << " is not in man tarvexctl";
    }
    EXPECT_GE(n, 10);
}

TEST_F(Tarvexctl, HelpOnEveryCommandVersionAndUnknownCommands)
{
    const std::vector<std::vector<std::string>> commands = {{"img", "make"}, {"img", "show"}, {"img", "extract"},
                                                            {"cfg", "show"}, {"cfg", "create"}, {"cfg", "set"},
                                                            {"upgrade"},     {"recover"},     {"journal"},
                                                            {"devices"}};
    for (const auto& words : commands) {
        for (const char* flag : {"--help", "-h"}) {
            std::vector<std::string> args = words;
            args.push_back(flag);
            Result r = Run(args);
            const std::string name = words.size() > 1 ? words[0] + " " + words[1] : words[0];
            EXPECT_EQ(r.status, 0) << name << " " << flag;
            EXPECT_NE(r.out.find("usage: tarvexctl " + name + " "), std::string::npos) << name << ": " << r.out;
            EXPECT_TRUE(r.err.empty()) << r.err;
        }
        // Help wins over anything else on the line and touches no file.
        std::vector<std::string> args = words;
        args.insert(args.end(), {P("nothing"), "--out", P("nothing"), "--help"});
        EXPECT_EQ(Run(args).status, 0);
        EXPECT_FALSE(fs::exists(dir / "nothing"));
    }
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{"--help"}, {"help"}, {"-h"}}) {
        Result r = Run(args);
        EXPECT_EQ(r.status, 0);
        for (const auto& words : commands)
            EXPECT_NE(r.out.find(words.size() > 1 ? words[0] + " " + words[1] : "  " + words[0] + " "), std::string::npos) << r.out;
    }
    Result r = Run({"img", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("img extract"), std::string::npos);
    EXPECT_EQ(r.out.find("cfg set"), std::string::npos) << r.out;

    r = Run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("tarvexctl ") + TARVEX_VERSION + "\n");

    r = Run({"img", "burn", P("x")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown command 'img burn'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("make, show, extract"), std::string::npos) << r.err;
    r = Run({"flash"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown command 'flash'"), std::string::npos) << r.err;
}

TEST_F(Tarvexctl, ShowSaysWhenAFileIsNotAnImage)
{
    std::vector<BYTE> junk(4096);
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<BYTE>(i * 37 + 11);
    WriteBytes(dir / "junk.bimg", junk);
    WriteBytes(dir / "tiny.bimg", {1, 2, 3});
    for (const char* name : {"junk.bimg", "tiny.bimg"}) {
        Result r = Run({"img", "show", "--json", P(name)});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_TRUE(OneJsonObject(r.out)) << r.out;
        // No header fields from bytes that are no header.
        EXPECT_EQ(r.out.find("dwMagic"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("dwDataSize"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\"headerValid\": false"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find("not an image file"), std::string::npos) << r.err;
    }
    // A container of another type is a real header: shown, and named as what it is.
    ASSERT_EQ(Run({"cfg", "create", "--out", P("Tarvex.cfg"), "--password", "pw"}).status, 0);
    Result r = Run({"img", "show", P("Tarvex.cfg")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("dwFileType:    4"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("'type'"), std::string::npos) << r.err;
}

TEST_F(Tarvexctl, InputsAreBoundedInTimeAndMemory)
{
    // A FIFO nobody writes, an endless device, and a 1 GiB file (sparse: no disk used).
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    MakeImage("fw.bimg", 0x8000);
    {
        std::vector<BYTE> head = ReadBytes(dir / "fw.bimg");
        WriteBytes(dir / "huge.bimg", head);
        fs::resize_file(dir / "huge.bimg", 1ull << 30);
        WriteBytes(dir / "huge.bin", {0});
        fs::resize_file(dir / "huge.bin", 1ull << 30);
    }
    struct Case {
        std::vector<std::string> args;
        int status;
    } const cases[] = {
        {{"img", "show", P("fifo")}, 1},
        {{"cfg", "show", P("fifo")}, 1},
        {{"cfg", "set", P("fifo"), "--auto-reset"}, 1},
        {{"img", "extract", P("fifo"), "--out", P("x.bin")}, 1},
        {{"img", "make", "--name", "N", "--out", P("x.bimg"), P("fifo")}, 1},
        {{"img", "show", "/dev/zero"}, 1},
        {{"img", "make", "--name", "N", "--out", P("x.bimg"), "/dev/zero"}, 1},
        {{"img", "make", "--name", "N", "--out", P("x.bimg"), P("huge.bin")}, 1},
        // Bytes after the declared data do not matter: the image inside still checks out.
        {{"img", "show", P("huge.bimg")}, 0},
        {{"img", "extract", P("huge.bimg"), "--out", P("x.bin")}, 0},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        Result out;
        Waited w = RunBounded(c.args, &out);
        EXPECT_FALSE(w.timedOut) << line;
        EXPECT_EQ(w.status, c.status) << line << out.err;
        EXPECT_LT(w.maxRssKiB, 64 * 1024) << line;
    }
    EXPECT_EQ(ReadBytes(dir / "x.bin"), raw);
    EXPECT_FALSE(fs::exists(dir / "x.bimg"));
}

TEST_F(Tarvexctl, WrittenFilesKeepModeOwnerAndLinks)
{
    ASSERT_EQ(Run({"cfg", "create", "--out", P("real.cfg"), "--password", "pw"}).status, 0);
    ASSERT_EQ(::chmod((dir / "real.cfg").c_str(), 0600), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown((dir / "real.cfg").c_str(), 2001, 2002), 0);
    }
    fs::create_symlink("real.cfg", dir / "Tarvex.cfg");
    ASSERT_EQ(Run({"cfg", "set", P("Tarvex.cfg"), "--title", "kept"}).status, 0);
    ASSERT_EQ(Run({"cfg", "create", "--out", P("Tarvex.cfg"), "--password", "pw2"}).status, 0);
    auto modeOf = [](const fs::path& p) {
        struct stat st {};
        ::stat(p.c_str(), &st);
        return st;
    };
    EXPECT_TRUE(fs::is_symlink(dir / "Tarvex.cfg"));
    struct stat st = modeOf(dir / "real.cfg");
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (root) {
        EXPECT_EQ(st.st_uid, 2001u);
        EXPECT_EQ(st.st_gid, 2002u);
    }
    EXPECT_EQ(CString(LoadCfg("real.cfg").szPassword), CString(u"pw2"));

    // Images and extracted bytes: the same rules.
    MakeImage("fw.bimg");
    WriteBytes(dir / "target.bimg", {0});
    ASSERT_EQ(::chmod((dir / "target.bimg").c_str(), 0640), 0);
    fs::create_symlink("target.bimg", dir / "link.bimg");
    ASSERT_EQ(Run({"img", "make", "--name", "L", "--out", P("link.bimg"), P("fw.bin")}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link.bimg"));
    EXPECT_EQ(modeOf(dir / "target.bimg").st_mode & 07777, 0640u);
    ENC_FILE_HEADER h{};
    EXPECT_EQ(ReadAppImage(WinPath(dir / "target.bimg"), nullptr, &h, nullptr), AppImageCheck::Ok);
    WriteBytes(dir / "out.bin", {0});
    ASSERT_EQ(::chmod((dir / "out.bin").c_str(), 0604), 0);
    fs::create_symlink("out.bin", dir / "out.link");
    ASSERT_EQ(Run({"img", "extract", P("fw.bimg"), "--out", P("out.link")}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "out.link"));
    EXPECT_EQ(modeOf(dir / "out.bin").st_mode & 07777, 0604u);
    EXPECT_EQ(ReadBytes(dir / "out.bin"), raw);

    // A new file: the umask decides (tarvexctl inherits it from the shell).
    const mode_t old = ::umask(002);
    Result r = Run({"cfg", "create", "--out", P("new.cfg"), "--password", "pw"});
    ::umask(old);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(modeOf(dir / "new.cfg").st_mode & 07777, 0664u);
}

TEST_F(Tarvexctl, PathsThatAreNotUtf8AndJsonThatIs)
{
    const fs::path odd = dir / "tool\xFF";
    fs::create_directory(odd);
    raw = MakeRawImage(0x4400, 21);
    WriteBytes(odd / "fw.bin", raw);
    const std::string image = (odd / "a..b\xFE.bimg").string();
    ASSERT_EQ(Run({"img", "make", "--name", "ODD", "--out", image, (odd / "fw.bin").string()}).status, 0);
    const std::string cfg = (odd / "Tarvex.cfg").string();
    Result r = Run({"cfg", "create", "--out", cfg, "--image", image, "--password", "pw"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(Run({"cfg", "set", cfg, "--auto-reset"}).status, 0);

    r = Run({"cfg", "show", "--json", cfg});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ValidUtf8(r.out)) << r.out;
    EXPECT_NE(r.out.find("\"szAppFile\": \"a..b\\udcfe.bimg\""), std::string::npos) << r.out;
    r = Run({"cfg", "show", cfg}); // plain output names the file by its own bytes
    EXPECT_NE(r.out.find("a..b\xFE.bimg"), std::string::npos) << r.out;
    r = Run({"img", "show", "--json", image});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ValidUtf8(r.out)) << r.out;
    EXPECT_NE(r.out.find("tool\\udcff"), std::string::npos) << r.out;

    // The tool in that directory finds both files.
    SYSTEM_CONFIG c{};
    platform::OverrideModuleFileName((odd / "tarvex").string());
    const BOOL loaded = LoadSystemConfig(GetModuleDir() + SYSTEM_CONFIG_FILE_NAME, &c);
    ENC_FILE_HEADER h{};
    const AppImageCheck check = LoadAppImage(c, &h, nullptr);
    platform::OverrideModuleFileName("");
    EXPECT_EQ(loaded, 1);
    EXPECT_EQ(c.bAutoReset, 1);
    EXPECT_EQ(check, AppImageCheck::Ok);
}

// Several cfg set runs at once, round after round, each changing its own field: every run is
// applied whole or refused, the file always verifies, and it holds exactly the changes of
// the runs that exited 0.
TEST_F(Tarvexctl, ConcurrentSetsSerialiseAndReportHonestly)
{
    ASSERT_EQ(Run({"cfg", "create", "--out", P("Tarvex.cfg"), "--program-ver", "0.0", "--title", "t0", "--password",
                   "p0"})
                  .status,
              0);
    constexpr int kWorkers = 6;
    constexpr int kRounds = 12;
    auto optionsFor = [](int worker, int round) -> std::vector<std::string> {
        const std::string n = std::to_string(round + 1);
        switch (worker) {
        case 0: return {"--program-id", n};
        case 1: return {"--program-ver", "1." + n};
        case 2: return {"--title", "t" + n};
        case 3: return {"--password", "p" + n};
        case 4: return {round % 2 ? "--no-auto-upgrade" : "--auto-upgrade"};
        default: return {round % 2 ? "--no-save-user-data" : "--save-user-data"};
        }
    };
    int lastApplied[kWorkers];
    std::fill(std::begin(lastApplied), std::end(lastApplied), -1);
    int applied = 0;
    for (int round = 0; round < kRounds; ++round) {
        pid_t pids[kWorkers];
        for (int w = 0; w < kWorkers; ++w) {
            std::vector<std::string> args = {"cfg", "set", P("Tarvex.cfg")};
            for (auto& o : optionsFor(w, round)) args.push_back(o);
            pids[w] = Spawn(args, dir / ("out" + std::to_string(w)), dir / ("err" + std::to_string(w)));
            ASSERT_GT(pids[w], 0);
        }
        for (int w = 0; w < kWorkers; ++w) {
            Waited r = WaitBounded(pids[w], 120);
            ASSERT_FALSE(r.timedOut);
            ASSERT_TRUE(r.status == 0 || r.status == 1) << r.status << Slurp(dir / ("err" + std::to_string(w)));
            if (r.status == 0) lastApplied[w] = round, ++applied;
        }
        SYSTEM_CONFIG now{};
        ASSERT_EQ(ReadSystemConfig(WinPath(dir / "Tarvex.cfg"), &now), ConfigCheck::Ok) << "round " << round;
    }
    // Refusals are allowed (a lock held too long), but most runs must have gone through, or
    // the comparison below would prove little.
    EXPECT_GT(applied, kWorkers * kRounds / 2);

    SYSTEM_CONFIG c = LoadCfg("Tarvex.cfg");
    auto expectText = [](const WCHAR* field, const std::string& text) {
        EXPECT_EQ(CString(field, static_cast<int>(WcsNLen(field, CONFIG_TEXT_UNITS))).ToUtf8(), text);
    };
    EXPECT_EQ(c.wProgramID, lastApplied[0] < 0 ? 0 : std::stoi(std::to_string(lastApplied[0] + 1), nullptr, 16));
    EXPECT_EQ(c.wProgramVer, lastApplied[1] < 0 ? 0 : 0x100 + lastApplied[1] + 1);
    expectText(c.szTitle, "t" + std::to_string(lastApplied[2] + 1));
    expectText(c.szPassword, "p" + std::to_string(lastApplied[3] + 1));
    EXPECT_EQ(c.bAutoUpgrade, lastApplied[4] < 0 ? 0 : (lastApplied[4] % 2 ? 0 : 1));
    EXPECT_EQ(c.bSaveUserData, lastApplied[5] < 0 ? 0 : (lastApplied[5] % 2 ? 0 : 1));
    EXPECT_EQ(c.bAutoReset, 0);
    EXPECT_EQ(c.bVersionCheck, 0);
    // Nothing but the file and the runs' output is left in the directory.
    for (const auto& e : fs::directory_iterator(dir.Path())) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "Tarvex.cfg" || name.rfind("out", 0) == 0 || name.rfind("err", 0) == 0) << name;
    }
}
