// tarvexctl upgrade, recover and journal end to end: the built binary against the simulated
// mouse, whose state is kept in a file between commands as a real mouse keeps its own.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ImageFactory.h"
#include "tests/support/Process.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The default user data of the simulated mouse, blocks 5..8, as the state file writes them.
std::string DefaultUserDataHex(int block)
{
    std::string s;
    char buf[4];
    for (int i = 0; i < 256; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", (block * 37 + i) & 0xFF);
        s += buf;
    }
    return s;
}

class Field : public ::testing::Test
{
protected:
    void SetUp() override
    {
        raw = MakeRawImage(0x8000, 3);
        ENC_FILE_HEADER h = WriteImageFile(dir / "fw.bimg", "DUNX4", raw);
        config = MakeConfig(u"fw.bimg", h);
        config.wProgramID = 0x5A3C;
        config.wProgramVer = 0x0200;
        config.bAutoReset = 1;
        ASSERT_TRUE(WriteConfigFile(dir.Path(), config));
    }
    // Carrying the user data over takes 256 requests, each with a time-out on the simulated
    // clock: those runs go at a slower scale, so a loaded machine cannot make one time out.
    void SaveUserData()
    {
        config.bSaveUserData = 1;
        ASSERT_TRUE(WriteConfigFile(dir.Path(), config));
        scale = "0.05";
    }
    std::vector<std::string> Sim(std::vector<std::string> more = {}) const
    {
        std::vector<std::string> a = {"--dir", dir.Path().string(), "--simulate", "--time-scale", scale};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }
    Result Run(const std::string& command, const std::vector<std::string>& args)
    {
        std::vector<std::string> all{command};
        all.insert(all.end(), args.begin(), args.end());
        return RunCaptured(TARVEXCTL_PATH, all, dir.Path());
    }
    std::map<std::string, std::string> State(const std::string& name = "mouse.state")
    {
        std::map<std::string, std::string> m;
        std::istringstream in(Slurp(dir / name));
        std::string line;
        while (std::getline(in, line))
            if (auto eq = line.find('='); eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
        return m;
    }
    std::string StatePath(const std::string& name = "mouse.state") const { return (dir / name).string(); }

    TempDir dir;
    std::vector<BYTE> raw;
    SYSTEM_CONFIG config{};
    std::string scale = "0.02";
};

TEST_F(Field, EachOutcomeClassHasItsExitStatus)
{
    struct Row {
        const char* fault;
        int status;
        const char* text;
        const char* advice;
        const char* mode; // of the mouse afterwards
    } const rows[] = {
        {nullptr, 0, "游戏鼠标应用升级成功！", nullptr, "application"},
        {"program-id", 1, "升级程序ID与设备程序ID不符！", nullptr, "application"},
        {"device-id", 1, "获取设备ID失败！", nullptr, "application"},
        {"no-bootloader", 3, "没有检查到可升级设备！", "tarvexctl recover", "application"},
        {"erase", 3, "擦除Flash失败！", "tarvexctl recover", "bootloader"},
        {"verify", 3, "校验Flash失败！", "tarvexctl recover", "bootloader"},
        // The simulated technician replugs it, and it runs the new firmware.
        {"reset", 4, "升级成功，请重新拔插设备！", "plug it in again", "application"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault ? row.fault : "none");
        fs::remove(dir / "mouse.state");
        std::vector<std::string> extra = {"--sim-state", StatePath()};
        if (row.fault) extra.insert(extra.end(), {"--fault", row.fault});
        const Result r = Run("upgrade", Sim(extra));
        EXPECT_EQ(r.status, row.status) << r.out << r.err;
        EXPECT_TRUE(Has(r.out, row.text)) << r.out;
        if (row.advice) {
            EXPECT_TRUE(Has(r.out, row.advice)) << r.out;
        }
        EXPECT_EQ(State()["mode"], row.mode);
    }

    // The image and configuration are checked before any device: a refusal is class 1.
    testsupport::WriteBytes(dir / "fw.bimg", {1, 2, 3});
    const Result r = Run("upgrade", Sim());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "refused at check")) << r.err;
    EXPECT_EQ(Run("upgrade", {"--count", "2"}).status, 2);
    EXPECT_EQ(Run("upgrade", {"--fault", "erase"}).status, 2); // a fault needs --simulate
}

TEST_F(Field, JsonEventLinesEndWithTheOutcome)
{
    const Result r = Run("upgrade", Sim({"--json", "--fault", "erase"}));
    EXPECT_EQ(r.status, 3);
    std::istringstream in(r.out);
    std::string line, outcome, last;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        EXPECT_TRUE(line.size() > 2 && line.front() == '{' && line.back() == '}') << line;
        outcome = last;
        last = line;
    }
    EXPECT_GE(n, 6);
    EXPECT_TRUE(Has(r.out, "{\"t_ms\":")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"text\":\"擦除Flash失败！\",\"colour\":\"red\",\"progress\":30,\"result\":\"failure\"")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"notify\":\"isp\",\"present\":true")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"outcome\":\"erase\",\"class\":\"after-switch\",\"port\":\"1-1\"")) << r.out;
    // The advice is an event too, and the stream ends with the real exit status.
    EXPECT_TRUE(Has(outcome, "\"message\":\"the mouse may be in its bootloader")) << outcome;
    EXPECT_TRUE(Has(last, "\"exit\":3}")) << last;
}

TEST_F(Field, AMouseLeftInItsBootloaderByAnyFaultFromTheEraseOnComesBackWithItsOwnIdentity)
{
    SaveUserData();
    for (const char* fault : {"erase", "write", "read", "verify", "unplug-isp"}) {
        SCOPED_TRACE(fault);
        fs::remove(dir / "mouse.state");
        fs::remove(dir / "tarvex.journal");
        Result r = Run("upgrade", Sim({"--sim-state", StatePath(), "--sim-device-id", "123456789ABC", "--fault", fault}));
        ASSERT_EQ(r.status, 3) << r.out << r.err;
        auto st = State();
        EXPECT_EQ(st["mode"], "bootloader");
        EXPECT_EQ(st["firmware"], "broken");
        // After the erase and before a complete write, the mouse's own identity is gone.
        if (std::string(fault) == "erase" || std::string(fault) == "write") {
            EXPECT_EQ(st["device_id"], "FFFFFFFFFFFF");
        }

        r = Run("journal", {"--dir", dir.Path().string()});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(Has(r.out, "123456789ABC  program ID 00015A3C  v1.0  image DUNX4")) << r.out;
        EXPECT_TRUE(Has(r.out, "with user data")) << r.out;

        // The upgrade cannot help any more: the mouse is not in application mode.
        r = Run("upgrade", Sim({"--sim-state", StatePath()}));
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Has(r.out, "没有发现可升级设备！")) << r.out;
        EXPECT_TRUE(Has(r.out, "run `tarvexctl recover --dir " + dir.Path().string() + "`")) << r.out;

        r = Run("recover", Sim({"--sim-state", StatePath()}));
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        st = State();
        EXPECT_EQ(st["mode"], "application");
        EXPECT_EQ(st["firmware"], "ok");
        EXPECT_EQ(st["device_id"], "123456789ABC");
        for (int b = 5; b <= 8; ++b) EXPECT_EQ(st["user_data_" + std::to_string(b)], DefaultUserDataHex(b)) << b;
        EXPECT_FALSE(fs::exists(dir / "tarvex.journal"));

        // And it upgrades again as any mouse does (once is enough to show it).
        if (std::string(fault) == "erase") {
            r = Run("upgrade", Sim({"--sim-state", StatePath()}));
            EXPECT_EQ(r.status, 0) << r.out;
        }
    }
}

TEST_F(Field, RecoverChoosesAnEntryOrRefuses)
{
    SaveUserData();
    Result r = Run("recover", Sim());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "no pending entry")) << r.err;

    // Two mice failed: which one is on the bus must be said.
    ASSERT_EQ(Run("upgrade", Sim({"--sim-state", StatePath("a"), "--sim-device-id", "AAAA", "--fault", "write"})).status, 3);
    ASSERT_EQ(Run("upgrade", Sim({"--sim-state", StatePath("b"), "--sim-device-id", "BBBB", "--fault", "erase"})).status, 3);
    r = Run("recover", Sim({"--sim-state", StatePath("b")}));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "00000000AAAA 00000000BBBB")) << r.err;
    EXPECT_EQ(State("b")["mode"], "bootloader"); // nothing was flashed

    // A configuration for another program is refused, as the upgrade would refuse it.
    ASSERT_EQ(Run("cfg", {"set", (dir / "Tarvex.cfg").string(), "--program-id", "1234"}).status, 0);
    r = Run("recover", Sim({"--sim-state", StatePath("b"), "--device-id", "bbbb"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "升级程序ID与设备程序ID不符！")) << r.err;
    ASSERT_EQ(Run("cfg", {"set", (dir / "Tarvex.cfg").string(), "--program-id", "5A3C"}).status, 0);

    // Another device's bootloader beside it, on another port: the entry goes to the
    // bootloader on the port its mouse was switched on, and the other is never touched.
    r = Run("recover", Sim({"--sim-state", StatePath("b"), "--device-id", "bbbb", "--bootloader-present"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(State("b")["device_id"], "00000000BBBB");
    EXPECT_EQ(State("b")["user_data_6"], DefaultUserDataHex(6));
    r = Run("journal", {"--dir", dir.Path().string(), "--json"});
    EXPECT_TRUE(Has(r.out, "\"device_id\":\"00000000AAAA\"")) << r.out;
    EXPECT_FALSE(Has(r.out, "BBBB")) << r.out;

    // A mouse without an entry: its ID given by hand, without user data, saying so.
    fs::remove(dir / "tarvex.journal");
    r = Run("recover", Sim({"--sim-state", StatePath("a"), "--device-id", "AAAA"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "without user data")) << r.out;
    EXPECT_EQ(State("a")["device_id"], "00000000AAAA");

    // An entry whose port holds no bootloader, with another device's bootloader elsewhere:
    // asked (no terminal here, so refused), naming both.
    ASSERT_EQ(Run("upgrade", Sim({"--sim-state", StatePath("c"), "--sim-device-id", "CCCC", "--fault", "erase"})).status, 3);
    std::string journal = Slurp(dir / "tarvex.journal");
    ASSERT_TRUE(Has(journal, "port=1-1 ")) << journal;
    journal.replace(journal.find("port=1-1 "), 9, "port=2-3 ");
    testsupport::WriteBytes(dir / "tarvex.journal", std::vector<BYTE>(journal.begin(), journal.end()));
    r = Run("recover", Sim({"--sim-state", StatePath("c")}));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "bootloader at port 1-1 is not where device ID 00000000CCCC was switched (port 2-3)")) << r.err;
    EXPECT_TRUE(Has(r.err, "--device-id 00000000CCCC")) << r.err;
    EXPECT_EQ(State("c")["device_id"], "FFFFFFFFFFFF");
    r = Run("recover", Sim({"--sim-state", StatePath("c"), "--device-id", "cccc"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(State("c")["device_id"], "00000000CCCC");

    // Two pending entries and two bootloaders, each on the port its mouse was switched on
    // (another device's bootloader stands in for the second mouse, at port 1-4): none is
    // guessed; --device-id picks one, and only that one is written.
    ASSERT_EQ(Run("upgrade", Sim({"--sim-state", StatePath("d"), "--sim-device-id", "DDDD", "--fault", "erase"})).status, 3);
    journal = Slurp(dir / "tarvex.journal");
    journal += "device_id=00000000EEEE program_id=00015A3C version=1 image=DUNX4 crc=0 time=1 port=1-4 user_data=-\n";
    testsupport::WriteBytes(dir / "tarvex.journal", std::vector<BYTE>(journal.begin(), journal.end()));
    r = Run("recover", Sim({"--sim-state", StatePath("d"), "--bootloader-present"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "2 pending entries match a bootloader's port")) << r.err;
    EXPECT_TRUE(Has(r.err, "00000000DDDD 00000000EEEE")) << r.err;
    r = Run("recover", Sim({"--sim-state", StatePath("d"), "--bootloader-present", "--device-id", "dddd"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(State("d")["device_id"], "00000000DDDD");
    EXPECT_TRUE(Has(Slurp(dir / "tarvex.journal"), "device_id=00000000EEEE")); // the other entry stays

    // Nothing in bootloader mode: refused, nothing touched.
    r = Run("recover", Sim({"--sim-state", StatePath("a"), "--device-id", "AAAA"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "no device in bootloader mode")) << r.err;
    EXPECT_EQ(Run("recover", {"--device-id", "XYZ"}).status, 2);
    EXPECT_EQ(Run("journal", {"--dir", (dir / "nowhere").string()}).status, 1);
}

TEST_F(Field, AJournalThatCannotBeWrittenStopsTheRunBeforeTheErase)
{
    fs::create_directory(dir / "tarvex.journal");
    const Result r = Run("upgrade", Sim({"--sim-state", StatePath()}));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "recovery journal")) << r.out;
    auto st = State();
    EXPECT_EQ(st["mode"], "application");
    EXPECT_EQ(st["firmware"], "ok");
    EXPECT_EQ(st["flash"], ""); // never erased, never written
    EXPECT_TRUE(Has(Slurp(dir / "tarvex.log"), "journal write failed"));
}

TEST_F(Field, VerboseRunPrintsTheLogLinesOnStderr)
{
    const Result r = Run("upgrade", Sim({"-v"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string log = Slurp(dir / "tarvex.log");
    for (const char* part : {"tarvexctl run started", "mouse program ID 00015A3C, version 1", "mouse device ID 5EED1234ABCD",
                             "progress 50%", "tarvexctl outcome success (upgraded)"}) {
        EXPECT_TRUE(Has(r.err, part)) << part << "\n" << r.err;
        EXPECT_TRUE(Has(log, part)) << part;
    }
}

TEST_F(Field, LoopOfThreeMiceWithAFaultOnTheSecond)
{
    const Result r = Run("upgrade", Sim({"--loop", "--count", "3", "--fault", "write@2", "--report", (dir / "r.csv").string()}));
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "mouse 1: 5EED1234ABCD v1.0 -> v2.0 success (upgraded)")) << r.out;
    EXPECT_TRUE(Has(r.out, "mouse 2: 5EED1234ABCE v1.0 -> - write (after-switch)")) << r.out;
    EXPECT_TRUE(Has(r.out, "mouse 3: 5EED1234ABCF v1.0 -> v2.0 success (upgraded)")) << r.out;
    EXPECT_TRUE(Has(r.out, "3 mice: 2 upgraded, 0 to replug, 1 failed after the switch, 0 refused or failed untouched")) << r.out;

    std::istringstream csv(Slurp(dir / "r.csv"));
    std::vector<std::string> lines;
    for (std::string l; std::getline(csv, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 4u);
    // The first seven columns are the earlier report's.
    EXPECT_EQ(lines[0], "time,device_id,old_version,new_version,outcome,class,seconds,port,program_id,image,image_crc,"
                        "tool_version,host,start_time,detail");
    EXPECT_TRUE(Has(lines[1], ",5EED1234ABCD,v1.0,v2.0,success,upgraded,")) << lines[1];
    EXPECT_TRUE(Has(lines[1], ",1-1,00015A3C,DUNX4,")) << lines[1];
    EXPECT_TRUE(Has(lines[2], ",5EED1234ABCE,v1.0,-,write,after-switch,")) << lines[2];
    // Which step failed and how far it got.
    EXPECT_TRUE(Has(lines[2], ",\"write: the bootloader refused the transfer, 64 of 32768 bytes sent\"")) << lines[2];
    EXPECT_TRUE(Has(lines[3], ",5EED1234ABCF,v1.0,v2.0,success,upgraded,")) << lines[3];
    // Only the second mouse's identity waits for recovery.
    const Result j = Run("journal", {"--dir", dir.Path().string()});
    EXPECT_TRUE(Has(j.out, "5EED1234ABCE")) << j.out;
    EXPECT_TRUE(Has(j.out, "1 pending entry")) << j.out;
}

TEST_F(Field, AForeignBootloaderOnAnotherPortIsNeverWritten)
{
    // Single run and loop alike: the switched mouse gets its image, the other device's
    // bootloader (port 1-4) is left alone, and the run says it ignored it.
    for (const bool loop : {false, true}) {
        SCOPED_TRACE(loop ? "loop" : "single");
        std::vector<std::string> extra = {"--bootloader-present", "--foreign-bootloader-stays", "-v"};
        if (loop) extra.insert(extra.end(), {"--loop", "--count", "1"});
        const Result r = Run("upgrade", Sim(extra));
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_TRUE(Has(r.err, "ignored the bootloader at port 1-4: not the switched mouse's port 1-1")) << r.err;
        EXPECT_TRUE(Has(r.err, "bootloader at port 1-1")) << r.err;
        EXPECT_FALSE(Has(r.out, "another device is in its bootloader mode")) << r.out;
        EXPECT_FALSE(fs::exists(dir / "tarvex.journal"));
    }
    // Listed with their ports.
    const Result d = Run("devices", Sim({"--bootloader-present", "--json"}));
    EXPECT_EQ(d.status, 0);
    EXPECT_TRUE(Has(d.out, "{\"mode\":\"application\",\"port\":\"1-1\"")) << d.out;
    EXPECT_TRUE(Has(d.out, "\"program_id\":\"00015A3C\",\"version\":1,\"device_id\":\"5EED1234ABCD\"")) << d.out;
    EXPECT_TRUE(Has(d.out, "{\"mode\":\"bootloader\",\"port\":\"1-4\"")) << d.out;
}

TEST_F(Field, LoopsOnOneDirectoryLoseNoEntryAndRefuseNoMouse)
{
    // Four stations share one tool directory; every mouse fails after its switch, so every
    // identity must be in the journal afterwards, and no mouse may have been refused because
    // another station held the journal.
    std::string cmd;
    for (int k = 0; k < 4; ++k) {
        cmd += Quote(TARVEXCTL_PATH) + " upgrade";
        for (const auto& a : Sim({"--loop", "--count", "5", "--fault", "write", "--sim-device-id", std::to_string(k + 1) + "00000"}))
            cmd += " " + Quote(a);
        cmd += " >" + Quote((dir / ("out" + std::to_string(k))).string()) + " 2>&1 </dev/null & ";
    }
    cmd += "wait";
    ASSERT_EQ(std::system(("sh -c " + Quote(cmd)).c_str()), 0);
    for (int k = 0; k < 4; ++k) {
        const std::string out = Slurp(dir / ("out" + std::to_string(k)));
        EXPECT_TRUE(Has(out, "5 mice: 0 upgraded, 0 to replug, 5 failed after the switch, 0 refused")) << out;
    }
    const Result j = Run("journal", {"--dir", dir.Path().string()});
    EXPECT_TRUE(Has(j.out, "20 pending entries")) << j.out;
    // Nothing of the saves is left beside the journal.
    for (const auto& e : fs::directory_iterator(dir.Path())) EXPECT_NE(e.path().filename().string().front(), '.') << e.path();
}

TEST_F(Field, AReportThatCannotBeKeptStopsTheLoopBeforeAnyMouse)
{
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    testsupport::WriteBytes(dir / "old.csv", {'t', 'i', 'm', 'e', ',', 'x', '\n'});
    for (const std::string& report : {(dir / "fifo").string(), std::string("/dev/full"), (dir / "old.csv").string()}) {
        SCOPED_TRACE(report);
        const Result r = Run("upgrade", Sim({"--loop", "--count", "1", "--report", report}));
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_FALSE(Has(r.out, "mouse 1:")) << r.out;
    }
}

TEST_F(Field, AStationUpgradesEveryPortAtOnceAndAFaultStaysOnItsPort)
{
    // Four mice on four ports, the third one's write fails: the other three are upgraded, the
    // third's identity (and only its) waits in the journal under its own port.
    Result r = Run("upgrade", Sim({"--all", "--sim-mice", "4", "--fault", "write@3", "--report", (dir / "r.csv").string()}));
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "4 mice: 3 upgraded, 0 to replug, 1 failed after the switch")) << r.out;
    EXPECT_TRUE(Has(r.out, "[1-3] mouse 5EED1234ABCF v1.0 -> - write (after-switch)")) << r.out;
    for (const char* ok : {"[1-1] mouse 5EED1234ABCD v1.0 -> v2.0 success", "[1-2] mouse 5EED1234ABCE v1.0 -> v2.0 success",
                           "[1-4] mouse 5EED1234ABD0 v1.0 -> v2.0 success"})
        EXPECT_TRUE(Has(r.out, ok)) << ok << "\n" << r.out;
    const std::string csv = Slurp(dir / "r.csv");
    EXPECT_TRUE(Has(csv, ",5EED1234ABCF,v1.0,-,write,after-switch,")) << csv;
    EXPECT_TRUE(Has(csv, ",1-3,00015A3C,")) << csv;
    const std::string journal = Slurp(dir / "tarvex.journal");
    EXPECT_TRUE(Has(journal, "device_id=5EED1234ABCF ")) << journal;
    EXPECT_TRUE(Has(journal, "port=1-3 ")) << journal;
    EXPECT_FALSE(Has(journal, "ABCD")) << journal;

    // --sim-state keeps every mouse of the station: the one whose write failed waits in its
    // bootloader, and recover gives it back its identity.
    fs::remove(dir / "tarvex.journal");
    r = Run("upgrade", Sim({"--all", "--sim-mice", "2", "--fault", "erase@2", "--sim-state", StatePath()}));
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_EQ(State()["firmware"], "ok");
    EXPECT_EQ(State()["version"], "02");
    EXPECT_EQ(State("mouse.state.2")["mode"], "bootloader");
    EXPECT_EQ(State("mouse.state.2")["firmware"], "broken");
    r = Run("recover", Sim({"--sim-state", StatePath("mouse.state.2")}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(State("mouse.state.2")["device_id"], "5EED1234ABCE");

    // The station mode: each port takes its next mouse as it comes, to seven in all; the
    // stream is JSON only, every mouse's event names its port, and a reset that fails on
    // port 1-2 stays there.
    fs::remove(dir / "tarvex.journal");
    r = Run("upgrade", Sim({"--loop", "--parallel", "--count", "7", "--sim-mice", "3", "--fault", "reset@2", "--json"}));
    EXPECT_EQ(r.status, 4) << r.out << r.err;
    std::istringstream in(r.out);
    int mice = 0, line = 0;
    for (std::string l; std::getline(in, l); ++line) {
        EXPECT_TRUE(l.size() > 2 && l.front() == '{' && l.back() == '}') << l;
        if (!Has(l, "\"outcome\":")) continue;
        ++mice;
        EXPECT_TRUE(Has(l, "{\"t_ms\":")) << l;
        EXPECT_TRUE(Has(l, "\"port\":\"1-2\"") == Has(l, "\"outcome\":\"reset\"")) << l;
    }
    EXPECT_EQ(mice, 7);
    EXPECT_TRUE(Has(r.out, "\"mice\":7,")) << r.out;
    EXPECT_TRUE(r.out.size() > 12 && Has(r.out.substr(r.out.size() - 12), "\"exit\":4}")) << r.out;

    // Ctrl+C as the mice get their first request of the run: every port stops before its
    // switch, every mouse untouched, nothing journaled.
    setenv("TARVEX_SIM_INTERRUPT_AT_REQUEST", "2", 1);
    r = Run("upgrade", Sim({"--loop", "--parallel", "--sim-mice", "3"}));
    unsetenv("TARVEX_SIM_INTERRUPT_AT_REQUEST");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_FALSE(Has(r.out, "检查到游戏鼠标设备")) << r.out;
    EXPECT_TRUE(Has(r.out, "cancelled (untouched)")) << r.out;
    EXPECT_FALSE(fs::exists(dir / "tarvex.journal"));
}

TEST_F(Field, TheSimulatedMouseRunsWhatWasWritten)
{
    // After an upgrade to 2.0 it reports version 2, so the version check stops a second run.
    config.bVersionCheck = 1;
    ASSERT_TRUE(WriteConfigFile(dir.Path(), config));
    ASSERT_EQ(Run("upgrade", Sim({"--sim-state", StatePath()})).status, 0);
    EXPECT_EQ(State()["version"], "02");
    const Result r = Run("upgrade", Sim({"--sim-state", StatePath()}));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.out, "设备程序版本高于升级程序版本，不需要升级！")) << r.out;
    // A state file that cannot be written is said, and never changes the outcome.
    const Result s = Run("upgrade", Sim({"--sim-state", (dir / "no-such-dir" / "mouse.state").string()}));
    EXPECT_EQ(s.status, 0) << s.out << s.err;
    EXPECT_TRUE(Has(s.err, "could not be saved")) << s.err;
}

// Runs tarvexctl with stdout on a pipe and sends SIGINT once a line contains `at`; returns the
// output and the exit status.
Result RunInterrupted(const std::vector<std::string>& args, const std::string& at)
{
    Result r;
    int fds[2];
    if (pipe(fds) != 0) return r;
    const pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        std::string exe = TARVEXCTL_PATH;
        std::vector<std::string> copy = args;
        std::vector<char*> argv{exe.data()};
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    FILE* in = fdopen(fds[0], "r");
    char buf[4096];
    bool sent = false;
    while (in && std::fgets(buf, sizeof buf, in)) {
        r.out += buf;
        if (!sent && Has(buf, at)) {
            kill(pid, SIGINT);
            sent = true;
        }
    }
    if (in) std::fclose(in);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = sent && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST_F(Field, CtrlCDuringTheWriteFinishesThatMouseAndStops)
{
    std::vector<std::string> args = {"upgrade"};
    for (const auto& a : Sim({"--loop"})) args.push_back(a);
    const Result r = RunInterrupted(args, "[ 50%]");
    const std::string& out = r.out;
    EXPECT_EQ(r.status, 0) << out;
    EXPECT_TRUE(Has(out, "[100%] success green 游戏鼠标应用升级成功！")) << out;
    EXPECT_TRUE(Has(out, "mouse 1: 5EED1234ABCD v1.0 -> v2.0 success (upgraded)")) << out;
    EXPECT_TRUE(Has(out, "stopped (Ctrl+C)")) << out;
    EXPECT_TRUE(Has(out, "1 mice: 1 upgraded")) << out;
    EXPECT_FALSE(Has(out, "mouse 2:")) << out;
}

TEST_F(Field, CtrlCBeforeTheSwitchLeavesTheMouseUntouched)
{
    // The signal arrives exactly as the run's first request reaches the mouse.
    for (const bool loop : {false, true}) {
        SCOPED_TRACE(loop ? "loop" : "single");
        fs::remove(dir / "mouse.state");
        setenv("TARVEX_SIM_INTERRUPT_AT_REQUEST", loop ? "2" : "1", 1);
        std::vector<std::string> extra = {"--sim-state", StatePath()};
        if (loop) extra = {"--loop"};
        const Result r = Run("upgrade", Sim(extra));
        unsetenv("TARVEX_SIM_INTERRUPT_AT_REQUEST");
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_FALSE(Has(r.out, "检查到游戏鼠标设备")) << r.out; // never switched
        EXPECT_FALSE(fs::exists(dir / "tarvex.journal"));
        if (loop) {
            EXPECT_TRUE(Has(r.out, "mouse 1: 5EED1234ABCD v1.0 -> - cancelled (untouched)")) << r.out;
        } else {
            EXPECT_EQ(State()["flash"], "");
            EXPECT_EQ(State()["mode"], "application");
        }
    }
}

} // namespace

// The bootloader's collection that another program holds is passed over for the next one; when
// every one is held, the refusal says so instead of claiming that no device is there.
TEST_F(Field, RecoverPassesOverAHeldCollectionAndNamesARefusal)
{
    // A run that failed at the erase leaves the mouse in its bootloader with a journal entry.
    ASSERT_EQ(Run("upgrade", Sim({"--sim-state", StatePath(), "--sim-device-id", "1234", "--fault", "erase"})).status, 3);

    Result r = Run("recover", Sim({"--sim-state", StatePath(), "--fault", "isp-denied"}));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, "cannot be opened")) << r.err;
    EXPECT_FALSE(Has(r.err, "no device in bootloader mode")) << r.err;
    EXPECT_TRUE(Has(Slurp(dir / "tarvex.log"), "outcome no-bootloader (untouched): ")) << Slurp(dir / "tarvex.log");
    EXPECT_TRUE(Has(Slurp(dir / "tarvex.journal"), "device_id=000000001234")); // the entry stays

    r = Run("recover", Sim({"--sim-state", StatePath(), "--fault", "isp-held"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(State()["mode"], "application");
    EXPECT_EQ(State()["device_id"], "000000001234");
    EXPECT_FALSE(Has(Slurp(dir / "tarvex.journal"), "device_id=000000001234"));
}
