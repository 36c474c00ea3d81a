// The shared upgrade procedure with a recording face on the simulated mouse, the recovery
// journal and the run log.
#include <gtest/gtest.h>

#include <thread>
#include <atomic>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <regex>
#include <string>
#include <vector>

#include "device/USBDeviceMonitor.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "sim/World.h"
#include "tests/support/FifoGuard.h"
#include "tests/support/ImageFactory.h"
#include "upgrade/EventJson.h"
#include "upgrade/RecoveryJournal.h"
#include "upgrade/AppendFile.h"
#include "upgrade/RunLog.h"
#include "upgrade/UpgradeProcedure.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

std::string Slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

CString DirOf(const TempDir& d) { return platform::WindowsPath(d.Path().string()) + u"\\"; }

JournalEntry SampleEntry(ULONGLONG id, bool userData)
{
    JournalEntry e;
    e.deviceId = id;
    e.programId = 0x00015A3C;
    e.version = 3;
    e.imageName = "DUNX4V2";
    e.imageCrc = 0xBEEF;
    e.time = 1765180000;
    e.bHasUserData = userData;
    if (userData)
        for (DWORD i = 0; i < JOURNAL_USER_DATA_SIZE; ++i) e.userData.push_back(static_cast<BYTE>(i * 7 + id));
    return e;
}

void ExpectSameEntry(const JournalEntry& a, const JournalEntry& b)
{
    EXPECT_EQ(a.deviceId, b.deviceId);
    EXPECT_EQ(a.programId, b.programId);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.imageName, b.imageName);
    EXPECT_EQ(a.imageCrc, b.imageCrc);
    EXPECT_EQ(a.time, b.time);
    EXPECT_EQ(a.bHasUserData, b.bHasUserData);
    EXPECT_EQ(a.userData, b.userData);
}

TEST(RecoveryJournal, EntriesSurviveTheFileAndAreReplacedAndRemovedByDeviceId)
{
    TempDir dir;
    CRecoveryJournal journal(DirOf(dir));
    std::vector<JournalEntry> got;
    std::string error;
    ASSERT_TRUE(journal.Load(got, error)) << error; // no file: empty
    EXPECT_TRUE(got.empty());

    ASSERT_TRUE(journal.Add(SampleEntry(0x5EED1234ABCD, true)));
    ASSERT_TRUE(journal.Add(SampleEntry(0x000000000042, false)));
    JournalEntry again = SampleEntry(0x5EED1234ABCD, true);
    again.version = 4;
    ASSERT_TRUE(journal.Add(again)); // same mouse: replaces, never two entries for one ID
    ASSERT_TRUE(journal.Load(got, error)) << error;
    ASSERT_EQ(got.size(), 2u);
    ExpectSameEntry(got[0], SampleEntry(0x000000000042, false));
    ExpectSameEntry(got[1], again);
    EXPECT_FALSE(fs::exists(dir / "tarvex.journal.save~"));

    bool found = false;
    ASSERT_TRUE(journal.Remove(0x5EED1234ABCD, &found));
    EXPECT_TRUE(found);
    ASSERT_TRUE(journal.Remove(0x777, &found)); // none: nothing to do, and said so
    EXPECT_FALSE(found);
    ASSERT_TRUE(journal.Load(got, error));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].deviceId, 0x42u);
    ASSERT_TRUE(journal.Remove(0x42));
    EXPECT_FALSE(fs::exists(dir / "tarvex.journal")); // the last entry takes the file with it
}

TEST(RecoveryJournal, AFileThatIsNotAJournalIsRefusedAndNeverOverwritten)
{
    TempDir dir;
    CRecoveryJournal journal(DirOf(dir));
    const JournalEntry good = SampleEntry(0x1234, true);
    std::string line = CRecoveryJournal::Format(good);
    const std::vector<std::string> bad = {
        "something else\n",
        "tarvex-journal 1\n" + line.substr(0, line.size() - 2) + "\n",            // user data one byte short
        "tarvex-journal 1\nprogram_id=1 user_data=-\n",                            // no device ID
        "tarvex-journal 1\ndevice_id=1234567890ABC user_data=-\n",                 // 13 digits
        "tarvex-journal 1\ndevice_id=12 version=256 user_data=-\n",
        "tarvex-journal 1\n" + line + "\ndevice_id=12 version=256 user_data=-\n", // a good entry, then a bad one
    };
    for (const auto& text : bad) {
        testsupport::WriteBytes(dir / "tarvex.journal", std::vector<BYTE>(text.begin(), text.end()));
        std::vector<JournalEntry> got;
        std::string error;
        EXPECT_FALSE(journal.Load(got, error)) << text;
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(got.empty()) << text; // no entries of a journal that is not sound
        // Another mouse's identity may be in there: an add must not replace the file.
        EXPECT_FALSE(journal.Add(good));
        EXPECT_EQ(Slurp(dir / "tarvex.journal"), text);
    }
    // Far too large to be a journal: refused without reading it all.
    {
        std::ofstream out(dir / "tarvex.journal", std::ios::binary | std::ios::trunc);
        out << "tarvex-journal 1\n" << std::string(5 * 1024 * 1024, 'x');
    }
    std::vector<JournalEntry> got;
    std::string error;
    EXPECT_FALSE(journal.Load(got, error));
}

JournalEntry EntryFor(ULONGLONG id)
{
    JournalEntry e;
    e.deviceId = id;
    e.portPath = "1-" + std::to_string(id % 7 + 1);
    e.bHasUserData = id % 2 == 0;
    if (e.bHasUserData) e.userData.assign(JOURNAL_USER_DATA_SIZE, static_cast<BYTE>(id));
    return e;
}

// A Windows location path can be long: one of up to 200 characters comes back as written,
// a longer one is refused as a damaged line rather than cut.
TEST(RecoveryJournal, PortPathsUpTo200CharactersRoundTrip)
{
    for (std::size_t n : {std::size_t(1), std::size_t(200), std::size_t(201)}) {
        JournalEntry e = SampleEntry(0x77, false);
        e.portPath = std::string("PCIROOT(0)#USB(2)#USB(3)").substr(0, n);
        e.portPath.resize(n, '3');
        JournalEntry back;
        std::string why;
        const bool ok = CRecoveryJournal::Parse(CRecoveryJournal::Format(e), back, &why);
        EXPECT_EQ(ok, n <= 200) << n << ": " << why;
        if (ok) {
            EXPECT_EQ(back.portPath, e.portPath);
        }
    }
}

// Event lines and --json output stay valid UTF-8: a character outside the BMP is written as
// itself, a lone surrogate (a file name byte that is not UTF-8) as its escape, which a JSON
// reader turns back into the same code unit.
TEST(EventJson, TextBecomesAJsonStringThatStaysValidUtf8)
{
    struct Row {
        std::u16string text;
        std::string json;
    } rows[] = {
        {u"a\"b\\c\n\t", "\"a\\\"b\\\\c\\n\\t\""},
        {u"\x1F\x7F ok", "\"\\u001f\\u007f ok\""},
        {u"\U0001F600", "\"\xF0\x9F\x98\x80\""},
        {u"\U0001F600z", "\"\xF0\x9F\x98\x80z\""},
        {std::u16string(1, char16_t(0xD83D)), "\"\\ud83d\""},
        {std::u16string{char16_t(0xDE00), u'x'}, "\"\\ude00x\""},
        {std::u16string{char16_t(0xD83D), u'x'}, "\"\\ud83dx\""},
        {std::u16string{char16_t(0xD7FF), char16_t(0xDC00)}, "\"\xED\x9F\xBF\\udc00\""},
        {std::u16string(1, char16_t(0xD800)), "\"\\ud800\""}, // both ends of the surrogates
        {std::u16string{char16_t(0xDFFF), char16_t(0xE000)}, "\"\\udfff\xEE\x80\x80\""},
        {std::u16string{char16_t(0xD800), char16_t(0xDC00)}, "\"\xF0\x90\x80\x80\""}, // U+10000 and
        {std::u16string{char16_t(0xDBFF), char16_t(0xDFFF)}, "\"\xF4\x8F\xBF\xBF\""}, // U+10FFFF: pairs at the edges
        {u"\r\b\f", "\"\\r\\b\\f\""},
    };
    for (const Row& r : rows) EXPECT_EQ(JsonString(CString(r.text)), r.json) << r.json;
}

// A journal of up to 4 MiB (some two thousand mice with their user data) is read; a larger
// file is refused as not a journal rather than read into memory.
TEST(RecoveryJournal, AJournalOfUpTo4MiBIsRead)
{
    TempDir dir;
    std::string text = "tarvex-journal 1\n";
    std::size_t n = 0;
    for (;; ++n) {
        const std::string line = CRecoveryJournal::Format(EntryFor(0x100000 + n * 2)) + "\n";
        if (text.size() + line.size() > 4u * 1024 * 1024) break;
        text += line;
    }
    text.resize(4u * 1024 * 1024, '\n'); // blank lines to the exact bound
    testsupport::WriteBytes(dir / RECOVERY_JOURNAL_FILE_NAME, std::vector<BYTE>(text.begin(), text.end()));
    CRecoveryJournal journal(DirOf(dir));
    std::vector<JournalEntry> got;
    std::string error;
    ASSERT_TRUE(journal.Load(got, error)) << error;
    EXPECT_EQ(got.size(), n);

    text += "\n";
    testsupport::WriteBytes(dir / RECOVERY_JOURNAL_FILE_NAME, std::vector<BYTE>(text.begin(), text.end()));
    EXPECT_FALSE(journal.Load(got, error));
    EXPECT_NE(error.find("not a journal"), std::string::npos) << error;
}

// tarvexctl journal shows why a line is damaged, quoting the field as it stands. A line cut
// before its user data is damaged, not an entry without user data: recovering from it
// would flash the mouse with someone else's defaults.
TEST(RecoveryJournal, ADamagedLineIsQuotedInItsReason)
{
    JournalEntry back;
    std::string why;
    const std::string line = CRecoveryJournal::Format(SampleEntry(0x77, false));
    EXPECT_FALSE(CRecoveryJournal::Parse(line + " garbage", back, &why));
    EXPECT_EQ(why, "'garbage' is not KEY=VALUE");
    EXPECT_FALSE(CRecoveryJournal::Parse(line + " " + std::string(40, 'g') + "tail", back, &why));
    EXPECT_EQ(why, "'" + std::string(40, 'g') + "' is not KEY=VALUE"); // the first 40 characters
    EXPECT_FALSE(CRecoveryJournal::Parse(line.substr(0, line.find(" user_data=")), back, &why));
    EXPECT_EQ(why, "no user_data");
}

// Each field's bounds, at their edges: a value just inside is read, one just outside refused.
TEST(RecoveryJournal, EachFieldIsReadWithinItsBoundsAndRefusedOutside)
{
    const std::string line = CRecoveryJournal::Format(SampleEntry(0x77, false));
    auto with = [&](const std::string& key, const std::string& value) {
        const auto at = (" " + line).find(" " + key + "="); // the first field has no space before it
        EXPECT_NE(at, std::string::npos) << key;
        const auto from = at + key.size() + 1, to = line.find(' ', from);
        return line.substr(0, from) + value + (to == std::string::npos ? "" : line.substr(to));
    };
    struct Case {
        const char* key;
        std::string value;
        const char* refusal; // null: read
    };
    const Case cases[] = {
        {"version", "255", nullptr},
        {"version", "0", nullptr},
        {"version", "", "version is not a number from 0 to 255"},
        {"version", "256", "version is not a number from 0 to 255"},
        {"version", "0001", "version is not a number from 0 to 255"},
        {"version", "1a", "version is not a number from 0 to 255"},
        {"port", "1-2.3", nullptr},
        {"port", "!~", nullptr},
        {"port", "", "port is empty or too long"},
        {"port", std::string(200, '1'), nullptr},
        {"port", std::string(201, '1'), "port is empty or too long"},
        {"port", "1-\x7F", "port holds a character that is not printable ASCII"},
        {"port", "1-\x1F", "port holds a character that is not printable ASCII"},
        {"time", "", "time is not a number of seconds"},
        {"time", "12a", "time is not a number of seconds"},
        {"device_id", "FFFFFFFFFFFF", nullptr},
        {"device_id", "1FFFFFFFFFFFF", "device_id is not up to 12 hexadecimal digits"},
        {"program_id", "FFFFFFFF", nullptr},
        {"program_id", "1FFFFFFFF", "program_id is not up to 8 hexadecimal digits"},
        {"program_id", "12G4", "program_id is not up to 8 hexadecimal digits"},
        {"crc", "FFFFFFFF", nullptr},
        {"crc", "1FFFFFFFF", "crc is not hexadecimal"},
        {"crc", "x", "crc is not hexadecimal"},
        {"image", "ABCDEFGH", nullptr},
        {"image", "ABCDEFGHI", "image is longer than 8 characters"},
        {"time", std::string(18, '9'), nullptr},
        {"time", std::string(19, '1'), "time is not a number of seconds"},
    };
    for (const Case& c : cases) {
        JournalEntry back;
        std::string why;
        const bool read = CRecoveryJournal::Parse(with(c.key, c.value), back, &why);
        if (!c.refusal) {
            EXPECT_TRUE(read) << c.key << "=" << c.value << ": " << why;
        } else {
            EXPECT_FALSE(read) << c.key << "=" << c.value;
            EXPECT_EQ(why, c.refusal) << c.key << "=" << c.value;
        }
    }
}

// Load names the first damaged line and how many more there are.
TEST(RecoveryJournal, LoadNamesTheFirstDamagedLineAndCountsTheRest)
{
    TempDir dir;
    const std::string good = CRecoveryJournal::Format(SampleEntry(0x77, false));
    const std::string text = "tarvex-journal 1\n" + good + "\nbad one\n" + good + "\nbad two\n";
    testsupport::WriteBytes(dir / RECOVERY_JOURNAL_FILE_NAME, std::vector<BYTE>(text.begin(), text.end()));
    CRecoveryJournal journal(DirOf(dir));
    std::vector<JournalEntry> got;
    std::string error;
    EXPECT_FALSE(journal.Load(got, error));
    EXPECT_NE(error.find(": line 3: "), std::string::npos) << error;
    EXPECT_NE(error.find(" (and 1 more)"), std::string::npos) << error;
}

// A tool directory that is gone: the entry is refused with the system's reason, which the
// run shows before it switches any mouse.
TEST(RecoveryJournal, ARefusedLockSaysWhy)
{
    TempDir dir;
    CRecoveryJournal journal(DirOf(dir) + u"gone");
    EXPECT_FALSE(journal.Add(EntryFor(0x55)));
    EXPECT_NE(journal.LastError().find("cannot lock the tool directory: no such file or directory"), std::string::npos)
        << journal.LastError();
}

// A colleague's run that holds the journal far longer than one save: the run waits its 10 s of
// real time, then is refused with that reason alone (no system text after it), and the journal
// keeps its entry.
TEST(RecoveryJournal, ALockHeldPastTheWaitIsRefusedWithThatReason)
{
    TempDir dir;
    CRecoveryJournal journal(DirOf(dir));
    ASSERT_TRUE(journal.Add(EntryFor(0x55))) << journal.LastError();
    HANDLE held = platform::LockFileForUpdate(platform::WindowsPath(journal.Path()), 1000);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(journal.Remove(0x55));
    const auto waited = std::chrono::steady_clock::now() - start;
    CloseHandle(held);
    const std::string reason = "cannot lock the tool directory: another run held the tool directory's lock for over 10 s";
    const std::string error = journal.LastError();
    ASSERT_GE(error.size(), reason.size());
    EXPECT_EQ(error.substr(error.size() - reason.size()), reason) << error;
    EXPECT_GE(waited, std::chrono::seconds(9));
    std::vector<JournalEntry> entries;
    std::string loadError;
    ASSERT_TRUE(journal.Load(entries, loadError)) << loadError;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].deviceId, 0x55u);
}

TEST(RecoveryJournal, ManyWritersAtOnceLoseNothingAndAreNeverRefused)
{
    // Runs of several stations (threads here: each save opens a lock of its own) on one
    // directory: every entry lands, every removal lands, no run is turned away.
    TempDir dir;
    constexpr int kWriters = 6, kEach = 15;
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w)
        threads.emplace_back([&, w] {
            CRecoveryJournal j(DirOf(dir));
            for (int i = 0; i < kEach; ++i)
                if (!j.Add(EntryFor(static_cast<ULONGLONG>(w * 100 + i)))) ++refused;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(refused.load(), 0);
    std::vector<JournalEntry> entries;
    std::string error;
    ASSERT_TRUE(CRecoveryJournal(DirOf(dir)).Load(entries, error)) << error;
    EXPECT_EQ(entries.size(), static_cast<std::size_t>(kWriters * kEach));
    threads.clear();
    for (int w = 0; w < kWriters; ++w)
        threads.emplace_back([&, w] {
            CRecoveryJournal j(DirOf(dir));
            for (int i = 0; i < kEach; ++i)
                if (!j.Remove(static_cast<ULONGLONG>(w * 100 + i))) ++refused;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_FALSE(fs::exists(dir / RECOVERY_JOURNAL_FILE_NAME));
    // Nothing of the saves is left beside it.
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

#ifndef _WIN32 // links and FIFOs at a file's name are a POSIX matter
TEST(RecoveryJournal, NeverWritesThroughALinkPlantedAtItsTemporaryName)
{
    TempDir dir;
    const fs::path victim = dir / "victim";
    testsupport::WriteBytes(victim, {'k', 'e', 'e', 'p'});
    fs::create_symlink(victim, dir / "tarvex.journal.save~");
    CRecoveryJournal j(DirOf(dir));
    ASSERT_TRUE(j.Add(EntryFor(0xABC))) << j.LastError();
    EXPECT_EQ(testsupport::ReadBytes(victim), (std::vector<BYTE>{'k', 'e', 'e', 'p'}));
    std::vector<JournalEntry> entries;
    std::string error;
    ASSERT_TRUE(j.Load(entries, error));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].portPath, "1-5"); // 0xABC % 7 + 1
}

#endif

// A copy without a tool directory keeps no journal: every change is refused with the reason,
// and nothing is made in the current directory instead.
TEST(RecoveryJournal, WithoutAToolDirectoryEveryCallIsRefusedAndNothingIsWritten)
{
    TempDir dir;
    const fs::path was = fs::current_path();
    fs::current_path(dir.Path());
    CRecoveryJournal j{CString()};
    std::vector<JournalEntry> entries;
    std::vector<JournalProblem> problems;
    std::string error, aside;
    std::size_t kept = 99;
    aside = "left over";
    EXPECT_FALSE(j.Add(EntryFor(0x111)));
    EXPECT_EQ(j.LastError(), "no tool directory");
    EXPECT_FALSE(j.Remove(0x111));
    EXPECT_EQ(j.LastError(), "no tool directory");
    EXPECT_FALSE(j.Repair(aside, kept));
    EXPECT_EQ(j.LastError(), "no tool directory");
    EXPECT_EQ(kept, 0u) << "a refused repair kept nothing";
    EXPECT_EQ(aside, "");
    EXPECT_FALSE(j.Check(entries, problems, error));
    EXPECT_EQ(error, "no tool directory");
    fs::current_path(was);
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

// Nor does it keep a run log: its lines go to the mirror only, no problem is reported, and
// nothing is made in the current directory instead.
TEST(RunLog, WithoutAToolDirectoryItsLinesGoToTheMirrorOnly)
{
    TempDir dir;
    const fs::path was = fs::current_path();
    fs::current_path(dir.Path());
    CRunLog log{CString(), "test"};
    std::vector<std::string> mirrored, problems;
    log.m_fnMirror = [&](const std::string& line) { mirrored.push_back(line); };
    log.m_fnProblem = [&](const std::string& why) { problems.push_back(why); };
    log.Line("one");
    EXPECT_EQ(mirrored.size(), 1u);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(log.Problem(), "");
    fs::current_path(was);
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

// A file that is no journal at all: the first line is the one named.
TEST(RecoveryJournal, AFileThatIsNoJournalIsNamedByItsFirstLine)
{
    TempDir dir;
    const std::string text = "[settings]\nkey=value\n";
    testsupport::WriteBytes(dir / RECOVERY_JOURNAL_FILE_NAME, std::vector<BYTE>(text.begin(), text.end()));
    CRecoveryJournal j(DirOf(dir));
    std::vector<JournalEntry> valid;
    std::vector<JournalProblem> problems;
    std::string error;
    ASSERT_TRUE(j.Check(valid, problems, error)) << error;
    EXPECT_TRUE(valid.empty());
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems[0].line, 1);
    EXPECT_NE(problems[0].reason.find("not a recovery journal"), std::string::npos) << problems[0].reason;
    EXPECT_FALSE(j.Add(EntryFor(0x111)));
    EXPECT_NE(j.LastError().find("line 1"), std::string::npos) << j.LastError();
}

// A file over 4 MiB is no journal (see above): neither repaired nor added to, and left as it
// is for a person to look at.
TEST(RecoveryJournal, AFileOverFourMebibytesIsNeitherRepairedNorAddedTo)
{
    TempDir dir;
    CRecoveryJournal j(DirOf(dir));
    ASSERT_TRUE(j.Add(EntryFor(0x111)));
    const fs::path file = dir / RECOVERY_JOURNAL_FILE_NAME;
    const std::uintmax_t size = 4u * 1024 * 1024 + 1;
    {
        std::ofstream out(file, std::ios::binary | std::ios::app);
        out << std::string(size - fs::file_size(file), '\n');
    }
    std::string aside = "left over";
    std::size_t kept = 99;
    EXPECT_FALSE(j.Repair(aside, kept));
    EXPECT_EQ(j.LastError(), file.string() + ": larger than 4 MiB: not a journal");
    EXPECT_EQ(aside, "");
    EXPECT_EQ(kept, 0u);
    EXPECT_FALSE(j.Add(EntryFor(0x222)));
    EXPECT_EQ(fs::file_size(file), size);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1)
        << "nothing moved aside or written beside it";
}

#ifndef _WIN32
// A file that reads shorter than its size (one cut by another program while it is read; a
// kernel attribute, which states 4096 bytes and gives a few, always does) is refused as
// unreadable: not read as a journal with damaged lines, which a repair would then move aside.
TEST(RecoveryJournal, AFileThatReadsShorterThanItsSizeIsUnreadable)
{
    const fs::path attribute = "/sys/kernel/uevent_seqnum";
    std::error_code ec;
    if (fs::file_size(attribute, ec) != 4096) GTEST_SKIP() << "no kernel attribute to read";
    TempDir dir;
    const fs::path file = dir / RECOVERY_JOURNAL_FILE_NAME;
    fs::create_symlink(attribute, file);
    CRecoveryJournal j(DirOf(dir));
    std::vector<JournalEntry> entries;
    std::string error;
    EXPECT_FALSE(j.Load(entries, error));
    EXPECT_NE(error.find(": cannot read"), std::string::npos) << error;
    std::string aside;
    std::size_t kept = 0;
    EXPECT_FALSE(j.Repair(aside, kept));
    EXPECT_EQ(aside, "");
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

// Every read of the journal closes what it opened: a station reads it for each mouse.
TEST(RecoveryJournal, ReadingItLeavesNoFileOpen)
{
    TempDir dir;
    CRecoveryJournal j(DirOf(dir));
    ASSERT_TRUE(j.Add(EntryFor(0x111)));
    const auto openFiles = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    const auto before = openFiles();
    std::vector<JournalEntry> entries;
    std::string error;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(j.Load(entries, error)) << error;
    EXPECT_EQ(openFiles(), before);
}
#endif

TEST(RecoveryJournal, ADamagedJournalIsNamedKeptAndRepairedWithoutLoss)
{
    TempDir dir;
    CRecoveryJournal j(DirOf(dir));
    ASSERT_TRUE(j.Add(EntryFor(0x111)));
    ASSERT_TRUE(j.Add(EntryFor(0x222)));
    std::string aside = "left over";
    std::size_t kept = 0;
    // A sound journal needs no repair: it is kept whole and nothing is moved aside.
    ASSERT_TRUE(j.Repair(aside, kept)) << j.LastError();
    EXPECT_EQ(aside, "");
    EXPECT_EQ(kept, 2u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
    // A save cut short by a crash of an old tool: the last line ends half-way.
    std::string text;
    {
        std::ifstream in(dir / RECOVERY_JOURNAL_FILE_NAME, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        text = ss.str();
    }
    const std::string damaged = text + CRecoveryJournal::Format(EntryFor(0x334)).substr(0, 300);
    testsupport::WriteBytes(dir / RECOVERY_JOURNAL_FILE_NAME, std::vector<BYTE>(damaged.begin(), damaged.end()));

    // Nothing is written over it or taken out of it, and the reason says where and what to do.
    const std::string advice = "; see tarvexctl journal --check";
    EXPECT_FALSE(j.Add(EntryFor(0x999)));
    EXPECT_NE(j.LastError().find("line 4"), std::string::npos) << j.LastError();
    EXPECT_TRUE(j.LastError().ends_with(advice)) << j.LastError();
    bool found = true;
    EXPECT_FALSE(j.Remove(0x111, &found));
    EXPECT_FALSE(found);
    EXPECT_NE(j.LastError().find("line 4"), std::string::npos) << j.LastError();
    EXPECT_TRUE(j.LastError().ends_with(advice)) << j.LastError();
    EXPECT_EQ(testsupport::ReadBytes(dir / RECOVERY_JOURNAL_FILE_NAME), std::vector<BYTE>(damaged.begin(), damaged.end()));
    std::vector<JournalEntry> valid;
    std::vector<JournalProblem> problems;
    std::string error;
    ASSERT_TRUE(j.Check(valid, problems, error));
    EXPECT_EQ(valid.size(), 2u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 4);
    EXPECT_NE(problems[0].reason.find("cut short"), std::string::npos) << problems[0].reason;

    kept = 0;
    ASSERT_TRUE(j.Repair(aside, kept)) << j.LastError();
    EXPECT_EQ(kept, 2u);
    ASSERT_FALSE(aside.empty());
    // The first damaged file of a second takes the plain name, without a number.
    const auto bad = aside.rfind(".bad-");
    ASSERT_NE(bad, std::string::npos) << aside;
    EXPECT_EQ(aside.find('.', bad + 1), std::string::npos) << aside;
    // Its stamp is the UTC time with '-' for ':', which Windows does not allow in a name.
    EXPECT_TRUE(std::regex_match(aside.substr(bad), std::regex(R"(\.bad-\d{4}-\d\d-\d\dT\d\d-\d\d-\d\dZ)"))) << aside;
    EXPECT_EQ(testsupport::ReadBytes(aside), std::vector<BYTE>(damaged.begin(), damaged.end()));
    std::vector<JournalEntry> entries;
    ASSERT_TRUE(j.Load(entries, error)) << error;
    EXPECT_EQ(entries.size(), 2u);
    ASSERT_TRUE(j.Add(EntryFor(0x999))) << j.LastError();
}

// What no file can be appended to is refused with its reason and leaves nothing open; a
// refused open after a good one closes the first.
TEST(AppendFile, RefusalsLeaveNothingOpen)
{
    TempDir dir;
    CAppendFile f;
    std::string why;
    EXPECT_FALSE(f.Write("x", why));
    EXPECT_EQ(why, "not open");
    ASSERT_TRUE(f.Open((dir / "a.log").string(), false, why)) << why;
    ASSERT_TRUE(f.Write("line\n", why)) << why;
    EXPECT_EQ(f.Size(), 5u);
    EXPECT_FALSE(f.Open("", false, why));
    EXPECT_EQ(why, "no file name");
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.Open(dir.Path().string(), true, why)); // a directory
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.Write("y", why));
    EXPECT_EQ(testsupport::ReadBytes(dir / "a.log"), (std::vector<BYTE>{'l', 'i', 'n', 'e', '\n'}));
}

#ifndef _WIN32
// A file it makes has the mode any program's new file has, 0666 less the umask: a log or
// journal stays readable to whom the system's settings allow.
TEST(AppendFile, AFileItMakesHasTheUsualMode)
{
    TempDir dir;
    const mode_t was = ::umask(022);
    CAppendFile f;
    std::string why;
    const bool opened = f.Open((dir / "new.log").string(), false, why);
    ::umask(was);
    ASSERT_TRUE(opened) << why;
    struct stat st {};
    ASSERT_EQ(::stat((dir / "new.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// Each name that is no file of ours is refused with what it is, and nothing is left open or
// made: a link (followed or not), a dangling one, a FIFO without a reader, a device, a
// directory and a path through a file.
TEST(AppendFile, EachNameThatIsNoFileOfOursIsRefusedWithWhatItIs)
{
    TempDir dir;
    testsupport::WriteBytes(dir / "file", {'x'});
    fs::create_symlink(dir / "file", dir / "link");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    struct Row {
        fs::path path;
        bool followLink;
        const char* why;
    } rows[] = {
        {dir / "link", false, "a symbolic link (refused: the tool writes only files of its own here)"},
        {dir / "dangling", false, "a symbolic link (refused: the tool writes only files of its own here)"},
        {dir / "dangling", true, "the name is taken by a link or another file that cannot be opened"},
        {dir / "fifo", false, "not a regular file (a FIFO or socket without a reader)"},
        {"/dev/null", true, "not a regular file"},
        {dir.Path(), false, std::strerror(EISDIR)},
        {dir / "file" / "x", false, std::strerror(ENOTDIR)},
    };
    for (const Row& r : rows) {
        CAppendFile f;
        std::string why;
        EXPECT_FALSE(f.Open(r.path.string(), r.followLink, why)) << r.path;
        EXPECT_EQ(why, r.why) << r.path;
        EXPECT_FALSE(f.IsOpen()) << r.path;
    }
    EXPECT_FALSE(fs::exists(dir / "nowhere")); // the dangling link's target was not made
    EXPECT_EQ(testsupport::ReadBytes(dir / "file"), std::vector<BYTE>{'x'});
    // The link is followed where the caller allows it.
    CAppendFile f;
    std::string why;
    ASSERT_TRUE(f.Open((dir / "link").string(), true, why)) << why;
    ASSERT_TRUE(f.Write("y", why)) << why;
    EXPECT_EQ(testsupport::ReadBytes(dir / "file"), (std::vector<BYTE>{'x', 'y'}));
}
#endif

#ifndef _WIN32
TEST(RunLog, AFifoOrAPlantedLinkAtItsNameIsRefusedAtOnceAndTheRunGoesOn)
{
    TempDir dir;
    const fs::path log = dir / RUN_LOG_FILE_NAME;
    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    CRunLog l(DirOf(dir), "test");
    std::string problem;
    l.m_fnProblem = [&](const std::string& why) { problem = why; };
    bool waited = false;
    testsupport::CallWithoutWaitingOn(log, [&] { l.Line("one"); }, &waited, std::chrono::seconds(5));
    EXPECT_FALSE(waited);
    EXPECT_NE(problem.find("not a regular file"), std::string::npos) << problem;

    fs::remove(log);
    const fs::path victim = dir / "victim";
    testsupport::WriteBytes(victim, {'x'});
    fs::create_symlink(victim, log);
    CRunLog l2(DirOf(dir), "test");
    l2.Line("two");
    EXPECT_EQ(testsupport::ReadBytes(victim), std::vector<BYTE>{'x'});
    EXPECT_FALSE(l2.Problem().empty());
}

// A full disk (here a file size limit) makes log lines fail: the run is told once, and the
// log keeps what it had.
TEST(RunLog, ALineThatCannotBeWrittenIsReportedOnce)
{
    TempDir dir;
    CRunLog l(DirOf(dir), "test");
    l.Line("first");
    const auto size = fs::file_size(dir / RUN_LOG_FILE_NAME);
    int problems = 0;
    l.m_fnProblem = [&](const std::string&) { ++problems; };

    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    void (*oldHandler)(int) = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit full = old;
    full.rlim_cur = static_cast<rlim_t>(size);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
    l.Line("second");
    l.Line("third");
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(problems, 1);
    EXPECT_FALSE(l.Problem().empty());
    EXPECT_EQ(fs::file_size(dir / RUN_LOG_FILE_NAME), size);
}
#endif

TEST(RunLog, RotatesAtOneMebibyteKeepingOneOldFile)
{
    TempDir dir;
    CRunLog log(DirOf(dir), "test");
    std::vector<std::string> mirrored;
    log.m_fnMirror = [&](const std::string& l) { mirrored.push_back(l); };
    const std::string text(1000, 'a');
    log.Line("first");
    while (!fs::exists(dir / "tarvex.log.1")) {
        log.Line(text);
        ASSERT_LT(mirrored.size(), 2000u) << "no rotation after 2 MB";
    }
    EXPECT_GE(fs::file_size(dir / "tarvex.log.1"), RUN_LOG_ROTATE_BYTES);
    EXPECT_LT(fs::file_size(dir / "tarvex.log.1"), RUN_LOG_ROTATE_BYTES + 2000);
    EXPECT_NE(Slurp(dir / "tarvex.log.1").find(" test first\n"), std::string::npos);
    EXPECT_LT(fs::file_size(dir / "tarvex.log"), 2000u);

    // The next rotation replaces the old file: never more than two.
    log.Line("second");
    while (fs::file_size(dir / "tarvex.log") < RUN_LOG_ROTATE_BYTES) log.Line(text);
    log.Line("third");
    const std::string old = Slurp(dir / "tarvex.log.1");
    EXPECT_EQ(old.find(" test first\n"), std::string::npos);
    EXPECT_NE(old.find(" test second\n"), std::string::npos);
    EXPECT_NE(Slurp(dir / "tarvex.log").find(" test third\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "tarvex.log.2"));
    ASSERT_FALSE(mirrored.empty());
    EXPECT_NE(mirrored.back().find(" test third"), std::string::npos);
}

// The bound is exact: a log of exactly 1 MiB is moved aside before the next line, one a byte
// shorter takes it.
TEST(RunLog, RotatesWhenTheLogHasReachedTheBoundExactly)
{
    for (const std::uintmax_t size : {std::uintmax_t{RUN_LOG_ROTATE_BYTES} - 1, std::uintmax_t{RUN_LOG_ROTATE_BYTES}}) {
        SCOPED_TRACE(size);
        TempDir dir;
        testsupport::WriteBytes(dir / "tarvex.log", std::vector<BYTE>(size, 'a'));
        CRunLog log(DirOf(dir), "test");
        log.Line("next");
        const bool rotated = size == RUN_LOG_ROTATE_BYTES;
        EXPECT_EQ(fs::exists(dir / "tarvex.log.1"), rotated);
        if (rotated) {
            EXPECT_EQ(fs::file_size(dir / "tarvex.log.1"), size);
        }
        EXPECT_EQ(fs::file_size(dir / "tarvex.log") > size, !rotated);
        EXPECT_NE(Slurp(dir / "tarvex.log").find(" test next\n"), std::string::npos);
    }
}

// Where the old file's name is taken by something that cannot be replaced, the log starts
// over rather than grow without bound, and what holds that name stays.
TEST(RunLog, WithoutRoomForTheOldFileTheLogStartsOver)
{
    TempDir dir;
    fs::create_directories(dir / "tarvex.log.1" / "kept");
    std::string full = "earlier first\n";
    full.resize(RUN_LOG_ROTATE_BYTES, 'a');
    testsupport::WriteBytes(dir / "tarvex.log", std::vector<BYTE>(full.begin(), full.end()));
    CRunLog log(DirOf(dir), "test");
    std::vector<std::string> problems;
    log.m_fnProblem = [&](const std::string& why) { problems.push_back(why); };
    log.Line("after");
    EXPECT_LT(fs::file_size(dir / "tarvex.log"), 2000u);
    const std::string now = Slurp(dir / "tarvex.log");
    EXPECT_EQ(now.find("earlier first\n"), std::string::npos);
    EXPECT_NE(now.find(" test after\n"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(dir / "tarvex.log.1" / "kept"));
    EXPECT_TRUE(problems.empty());
}

TEST(RunLog, UtcTimeTextAcrossLeapDaysAndCenturies)
{
    EXPECT_EQ(UtcTimeText(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(UtcTimeText(-1), "1969-12-31T23:59:59Z");
    EXPECT_EQ(UtcTimeText(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(UtcTimeText(1765180000), "2025-12-08T07:46:40Z");
    EXPECT_EQ(UtcTimeText(4102444799), "2099-12-31T23:59:59Z");
}

// ---- the procedure -------------------------------------------------------------------------

class RecordingFace : public IUpgradeFace
{
public:
    void ClearStatus() override { statuses.push_back(""); }
    void SetStatus(COLORREF cr, const WCHAR* text) override
    {
        statuses.push_back(CString(text).ToUtf8());
        colour = cr;
    }
    void SetProgress(int n) override { progress.push_back(n); }
    void SetResult(UpgradePicture p) override { picture = p; }
    void Wait(UpgradeWait, DWORD ms) override { Sleep(ms); }
    bool BeforeSwitch() override
    {
        switchesOffered++;
        if (onSwitch) onSwitch();
        return !callOff;
    }

    std::vector<std::string> statuses;
    std::vector<int> progress;
    COLORREF colour = 0;
    UpgradePicture picture = UpgradePicture::Initial;
    int switchesOffered = 0;
    bool callOff = false;
    std::function<void()> onSwitch; // runs where the switch is offered
};

class Procedure : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The user data takes 256 requests, each with a time-out on the scaled clock: at a
        // twentieth of real time a loaded machine (or ThreadSanitizer) cannot make one time out.
        platform::SetTimeScale(0.05);
        world.Reset();
        sim::World::Install();
        raw = testsupport::MakeRawImage(0x8000, 5);
        header = testsupport::WriteImageFile(dir / "fw.bimg", "fw", raw);
        image = raw;
        config = testsupport::MakeConfig(u"fw.bimg", header);
        config.wProgramID = 0x5A3C;
        config.wProgramVer = 0x0200;
        config.bSaveUserData = 1;
        config.bAutoReset = 1;
        world.PlugMouse();
        app.Start();
        isp.Start();
        ASSERT_TRUE(WaitFor([&] { return app.IsOpen(); }));
    }
    void TearDown() override
    {
        isp.Stop();
        app.Stop();
        platform::SetTimeScale(1.0);
    }
    template <class F> static bool WaitFor(F f)
    {
        // A real-time bound: a scaled one shrinks to almost nothing at this clock scale.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!f() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return f();
    }
    UpgradeReport Run(bool journalRequired)
    {
        UpgradeTarget t;
        t.pConfig = &config;
        t.pHeader = &header;
        t.pAppData = image.data();
        t.bAppLoaded = true;
        t.pAppComm = &app;
        t.pISPComm = &isp;
        t.pMonitor = &monitor;
        CUpgradeProcedure p(face, t);
        p.m_pJournal = &journal;
        p.m_bJournalRequired = journalRequired;
        p.m_pLog = &log;
        p.m_pfnAlloc = alloc;
        return p.Run();
    }
    std::vector<BYTE> UserDataOfMouse()
    {
        std::vector<BYTE> v;
        auto s = world.GetMouseSettings();
        for (int b = 5; b <= 8; ++b) v.insert(v.end(), s.userData[b].begin(), s.userData[b].end());
        return v;
    }

    sim::World& world = sim::World::Instance();
    TempDir dir;
    std::vector<BYTE> raw, image;
    ENC_FILE_HEADER header{};
    SYSTEM_CONFIG config{};
    CQL40USBComm app;
    CDunX4ISPUSBComm isp;
    CUSBDeviceMonitor monitor;
    RecordingFace face;
    CRecoveryJournal journal{DirOf(dir)};
    CRunLog log{DirOf(dir), "test"};
    void* (*alloc)(std::size_t) = &std::malloc;
};

TEST_F(Procedure, AFailureAfterTheEraseLeavesTheMousesIdentityInTheJournal)
{
    sim::Faults f;
    f.failWriteChunk = 3;
    world.SetFaults(f);
    const std::vector<BYTE> userData = UserDataOfMouse();
    const UpgradeReport r = Run(true);
    EXPECT_EQ(r.outcome, UpgradeOutcome::WriteFailed);
    EXPECT_EQ(ClassOf(r.outcome), OutcomeClass::AfterSwitch);
    EXPECT_EQ(face.statuses.back(), "写Flash失败！");
    EXPECT_EQ(face.progress.back(), 50);
    EXPECT_EQ(face.picture, UpgradePicture::Failure);

    std::vector<JournalEntry> entries;
    std::string error;
    ASSERT_TRUE(journal.Load(entries, error)) << error;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].deviceId, 0x5EED1234ABCDull);
    EXPECT_EQ(entries[0].programId, 0x00015A3Cu);
    EXPECT_EQ(entries[0].version, 1);
    EXPECT_EQ(entries[0].imageName, "fw");
    EXPECT_EQ(entries[0].imageCrc, header.dwDataCrc);
    ASSERT_TRUE(entries[0].bHasUserData);
    EXPECT_EQ(entries[0].userData, userData);

    // The log says what happened, in order, with the failed request's cause.
    const std::string text = Slurp(dir / "tarvex.log");
    const auto written = text.find("journal entry written");
    const auto sw = text.find("switch request sent");
    const auto failed = text.find("request failed: write: ");
    // The outcome line tells what to do about a mouse left in its bootloader.
    const auto outcome =
        text.find("outcome write (after-switch): the mouse may be in its bootloader; tarvexctl recover flashes it\n");
    // The user data is read before the identity is saved, and the port the run holds to is
    // named before the switch.
    const auto read = text.find("user data blocks 5..8 read\n");
    const auto at = text.find("mouse at port " + r.portPath + "\n");
    ASSERT_FALSE(r.portPath.empty());
    ASSERT_NE(read, std::string::npos) << text;
    ASSERT_NE(at, std::string::npos) << text;
    ASSERT_NE(written, std::string::npos) << text;
    ASSERT_NE(sw, std::string::npos);
    ASSERT_NE(failed, std::string::npos);
    ASSERT_NE(outcome, std::string::npos);
    EXPECT_LT(read, written);
    EXPECT_LT(written, at);
    EXPECT_LT(at, sw);
    EXPECT_LT(sw, failed);
    EXPECT_LT(failed, outcome);
    EXPECT_NE(text.find("64 of 32768 bytes sent"), std::string::npos) << text;
    // Every status the window shows is in the log, with its colour.
    const auto shown = text.find("status blue 检查到游戏鼠标设备，进入升级....");
    ASSERT_NE(shown, std::string::npos) << text;
    EXPECT_LT(shown, sw);
    EXPECT_NE(text.find("status red 写Flash失败！"), std::string::npos);
    EXPECT_NE(text.find("mouse device ID 5EED1234ABCD"), std::string::npos);
}

// The run log names the image and the configuration it runs with, in fixed-width hex.
TEST_F(Procedure, TheRunLogNamesTheImageWithItsSizeCrcProgramAndVersion)
{
    // An image whose CRC has leading zeros, so that the width of each field shows.
    for (int seed = 6; seed < 5000 && header.dwDataCrc >= 0x100; ++seed) {
        raw = testsupport::MakeRawImage(0x8000, seed);
        header = testsupport::WriteImageFile(dir / "fw.bimg", "fw", raw);
    }
    ASSERT_LT(header.dwDataCrc, 0x100u);
    image = raw;
    config = testsupport::MakeConfig(u"fw.bimg", header);
    config.wProgramID = 0x005A;
    config.wProgramVer = 0x0A03;
    config.bAutoReset = 1;
    Run(true);
    char expected[96];
    std::snprintf(expected, sizeof expected, "image 8000h bytes, CRC 00%02X, program ID 005A, version 10.3\n",
                  static_cast<unsigned>(header.dwDataCrc));
    const std::string text = Slurp(dir / "tarvex.log");
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
}

// A request the bootloader refuses while it is still there is named as refused, not as gone:
// the erase at the start of the flash work, the reset at its end.
TEST_F(Procedure, ARefusedEraseIsLoggedWithItsCause)
{
    sim::Faults f;
    f.failErase = true;
    world.SetFaults(f);
    Run(true);
    const std::string text = Slurp(dir / "tarvex.log");
    EXPECT_NE(text.find("request failed: erase: the bootloader refused the transfer\n"), std::string::npos) << text;
}

TEST_F(Procedure, ARefusedResetIsLoggedWithItsCause)
{
    sim::Faults f;
    f.failLeave = true;
    world.SetFaults(f);
    EXPECT_EQ(Run(true).outcome, UpgradeOutcome::ResetFailed);
    const std::string text = Slurp(dir / "tarvex.log");
    EXPECT_NE(text.find("request failed: reset: the bootloader refused the transfer\n"), std::string::npos) << text;
    EXPECT_NE(text.find("outcome reset (reset-failed): replug the mouse\n"), std::string::npos) << text;
}

TEST_F(Procedure, AUserDataBlockWithoutAValidReplyIsLoggedWithItsNumber)
{
    sim::Faults f;
    f.wrongOffsetEcho = true;
    world.SetFaults(f);
    Run(true);
    const std::string text = Slurp(dir / "tarvex.log");
    const std::string failed = "request failed: user data: no valid reply after 3 attempts, block ";
    const auto at = text.find(failed);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(text[at + failed.size()]))) << text;
}

TEST_F(Procedure, ARefusedReadIsLoggedWithItsCauseAndCount)
{
    sim::Faults f;
    f.failReadChunk = 2;
    world.SetFaults(f);
    Run(true);
    const std::string text = Slurp(dir / "tarvex.log");
    EXPECT_NE(text.find("request failed: read: the bootloader refused the transfer, 32 of 32768 bytes read\n"),
              std::string::npos)
        << text;
}

// The image name in the journal entry that a write failing after the erase leaves, for an
// image whose 8-byte name field holds name (up to its first 0, or all 8 bytes).
class ImageNameInTheEntry : public Procedure
{
protected:
    std::string After(const char* name)
    {
        sim::Faults f;
        f.failWriteChunk = 3;
        world.SetFaults(f);
        std::memset(header.szName, 0, sizeof header.szName);
        std::memcpy(header.szName, name, std::min(std::strlen(name), sizeof header.szName));
        EXPECT_EQ(Run(true).outcome, UpgradeOutcome::WriteFailed);
        std::vector<JournalEntry> entries;
        std::string error;
        EXPECT_TRUE(journal.Load(entries, error)) << error;
        EXPECT_EQ(entries.size(), 1u);
        return entries.empty() ? "(no entry)" : entries[0].imageName;
    }
};

// The image's name goes into the journal line, whose fields are split at spaces: a space,
// '=' or a control character in it becomes '_', so the entry still reads back. '!' and '~'
// end the printable range; the name fills its field, with no 0 after it.
TEST_F(ImageNameInTheEntry, SpacesAndEqualsSignsBecomeUnderscores) { EXPECT_EQ(After("a b=c\x7F!~"), "a_b_c_!~"); }

TEST_F(ImageNameInTheEntry, AnImageWithoutANameGivesAnEntryWithoutOne) { EXPECT_EQ(After(""), ""); }

TEST_F(Procedure, AVerifiedWriteRemovesTheEntry)
{
    ASSERT_TRUE(journal.Add(SampleEntry(0x42, false))); // another mouse's entry stays
    const UpgradeReport r = Run(true);
    EXPECT_EQ(r.outcome, UpgradeOutcome::Success);
    std::vector<JournalEntry> entries;
    std::string error;
    ASSERT_TRUE(journal.Load(entries, error));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].deviceId, 0x42u);
    const std::string text = Slurp(dir / "tarvex.log");
    EXPECT_NE(text.find("journal entry removed"), std::string::npos);
    EXPECT_NE(text.find("outcome success (upgraded)\n"), std::string::npos) << "nothing to do after a success";
}

TEST_F(Procedure, AJournalThatCannotBeWrittenStopsARunThatNeedsItBeforeTheSwitch)
{
    fs::create_directory(dir / "tarvex.journal"); // cannot be replaced by a file
    const UpgradeReport r = Run(true);
    EXPECT_EQ(r.outcome, UpgradeOutcome::JournalFailed);
    EXPECT_EQ(ClassOf(r.outcome), OutcomeClass::Untouched);
    EXPECT_EQ(face.picture, UpgradePicture::Failure);
    EXPECT_EQ(face.colour, UPGRADE_COLOR_RED);
    // Still in application mode, nothing sent towards the bootloader.
    EXPECT_EQ(world.GetCounters().switchRequests, 0);
    EXPECT_EQ(world.GetCounters().eraseReports, 0);
    EXPECT_EQ(world.GetMouseMode(), sim::MouseMode::Application);
    EXPECT_NE(Slurp(dir / "tarvex.log").find("journal write failed"), std::string::npos);
}

TEST_F(Procedure, ARunCalledOffBeforeTheSwitchLeavesNoEntryAndTouchesNothing)
{
    face.callOff = true;
    const UpgradeReport r = Run(true);
    EXPECT_EQ(r.outcome, UpgradeOutcome::Cancelled);
    EXPECT_EQ(ClassOf(r.outcome), OutcomeClass::Untouched);
    EXPECT_EQ(face.switchesOffered, 1);
    EXPECT_TRUE(r.bHaveDeviceId); // offered only once the identity is known
    EXPECT_FALSE(fs::exists(dir / "tarvex.journal"));
    EXPECT_EQ(world.GetCounters().switchRequests, 0);
    EXPECT_EQ(world.GetMouseMode(), sim::MouseMode::Application);
    // The face is told why the run ended, in blue, with the failure picture.
    ASSERT_FALSE(face.statuses.empty());
    EXPECT_EQ(face.statuses.back(), "Stopped before the switch; the mouse was not touched.");
    EXPECT_EQ(face.colour, UPGRADE_COLOR_BLUE);
    EXPECT_EQ(face.picture, UpgradePicture::Failure);
    const std::string text = Slurp(dir / "tarvex.log");
    EXPECT_NE(text.find("called off before the switch\n"), std::string::npos) << text;
    EXPECT_NE(text.find("outcome cancelled (untouched)\n"), std::string::npos) << text;
}

// A run holds the bootloader to its own mouse's port only while it lasts: afterwards the
// window takes a bootloader on any port again (a mouse left in its bootloader and plugged in
// elsewhere is seen and can be recovered), and the report says the mouse was switched, which
// tarvexctl's loop uses to know that mouse when it comes back.
TEST_F(Procedure, TheBindingToTheMousesPortEndsWithTheRun)
{
    platform::hid::DeviceInfo elsewhere;
    elsewhere.portPath = "9-9";
    for (int failChunk : {0, 3}) {
        sim::Faults f;
        f.failWriteChunk = failChunk;
        world.SetFaults(f);
        ASSERT_TRUE(WaitFor([&] { return app.IsOpen(); })) << failChunk;
        const UpgradeReport r = Run(false);
        EXPECT_EQ(r.outcome, failChunk ? UpgradeOutcome::WriteFailed : UpgradeOutcome::Success);
        EXPECT_TRUE(r.bSwitched) << failChunk;
        EXPECT_TRUE(isp.Accepts(elsewhere)) << failChunk;
    }
}

// A verify failure names the first byte that differs, so a technician can tell a bad chunk
// from a lost identity (0x4100..0x4105) or a flash that dropped its last byte.
TEST_F(Procedure, AVerifyFailureNamesTheFirstDifferingOffset)
{
    for (int at : {0x0000, 0x4102, 0x7FFF}) {
        // The mouse left in its bootloader by the row before is taken off and plugged in anew.
        world.UnplugMouse();
        ASSERT_TRUE(WaitFor([&] { return !app.IsOpen() && !isp.IsOpen(); })) << at;
        world.PlugMouse();
        sim::Faults f;
        f.corruptReadBackAt = at;
        world.SetFaults(f);
        ASSERT_TRUE(WaitFor([&] { return app.IsOpen(); })) << at;
        image = raw;
        const UpgradeReport r = Run(false);
        EXPECT_EQ(r.outcome, UpgradeOutcome::VerifyFailed) << at;
        char want[64];
        std::snprintf(want, sizeof want, "verify: first difference at offset %04Xh", static_cast<unsigned>(at));
        EXPECT_EQ(r.detail, want);
        EXPECT_NE(Slurp(dir / "tarvex.log").find(std::string(" test ") + want + "\n"), std::string::npos) << at;
    }
}

// No memory for the read-back: the run stops after the write, says so, and the log names
// what was missing.
TEST_F(Procedure, NoMemoryForTheReadBackIsLoggedWithItsSize)
{
    alloc = [](std::size_t) -> void* { return nullptr; };
    const UpgradeReport r = Run(false);
    EXPECT_EQ(r.outcome, UpgradeOutcome::NoMemory);
    EXPECT_EQ(r.detail, "memory: no 32768 bytes for the read-back");
    EXPECT_EQ(face.statuses.back(), "申请内存失败！");
    const std::string text = Slurp(dir / "tarvex.log");
    const auto missing = text.find(" test memory: no 32768 bytes for the read-back\n");
    ASSERT_NE(missing, std::string::npos) << text;
    EXPECT_LT(missing, text.find("outcome "));
}

TEST_F(Procedure, WithoutTheNeedTheRunGoesOnAndTheLogSaysSo)
{
    fs::create_directory(dir / "tarvex.journal");
    const UpgradeReport r = Run(false);
    EXPECT_EQ(r.outcome, UpgradeOutcome::Success);
    EXPECT_EQ(face.statuses.back(), "游戏鼠标应用升级成功！");
    EXPECT_NE(Slurp(dir / "tarvex.log").find("journal write failed"), std::string::npos);
}

// A machine where no host controller opens (Wine; a PC whose controllers the tool cannot
// reach): the switch cannot be sent, and the log says why the bootloader never came.
TEST_F(Procedure, ATreeThatCannotBeReachedIsNamedInTheLog)
{
    struct NoControllers : platform::usb::IUsbHubDriver {
        std::unique_ptr<platform::usb::IUsbNode> Open(const CString&) override { return nullptr; }
    };
    // The simulated controllers open, none of their hubs does.
    struct ControllersOnly : platform::usb::IUsbHubDriver {
        std::shared_ptr<platform::usb::IUsbHubDriver> sim = platform::usb::GetHubDriver();
        std::unique_ptr<platform::usb::IUsbNode> Open(const CString& path) override
        {
            return path.Str().rfind(u"\\\\.\\HCD", 0) == 0 ? sim->Open(path) : nullptr;
        }
    };
    const char* const noController = "switch: no USB host controller could be opened";
    const char* const noHub = "USB host controller(s) opened, but none of their hubs";
    struct Row {
        std::shared_ptr<platform::usb::IUsbHubDriver> driver;
        const char* said;
        const char* notSaid;
    } rows[] = {
        {std::make_shared<NoControllers>(), noController, noHub},
        {std::make_shared<ControllersOnly>(), noHub, noController},
    };
    for (const Row& row : rows) {
        fs::remove(dir / "tarvex.log");
        platform::usb::InstallHubDriver(row.driver);
        const UpgradeReport r = Run(false);
        sim::World::Install();
        EXPECT_EQ(r.outcome, UpgradeOutcome::NoBootloader) << row.said;
        const std::string text = Slurp(dir / "tarvex.log");
        EXPECT_NE(text.find(row.said), std::string::npos) << text;
        EXPECT_EQ(text.find(row.notSaid), std::string::npos) << text;
        ASSERT_TRUE(WaitFor([&] { return app.IsOpen(); }));
    }
}

// A mouse that leaves after its last request, before the switch: the switch cannot
// read its attributes, says so in the log, and the run ends waiting for no bootloader.
TEST_F(Procedure, AMouseGoneBeforeTheSwitchIsLoggedAndNoBootloaderAwaited)
{
    face.onSwitch = [&] { world.UnplugMouse(); };
    const UpgradeReport r = Run(false);
    EXPECT_EQ(r.outcome, UpgradeOutcome::NoBootloader);
    const std::string text = Slurp(dir / "tarvex.log");
    EXPECT_NE(text.find("switch: the mouse's attributes could not be read"), std::string::npos) << text;
    EXPECT_EQ(text.find("switch request sent"), std::string::npos) << text;
    EXPECT_EQ(world.GetCounters().featureSets, 0);
}

} // namespace
