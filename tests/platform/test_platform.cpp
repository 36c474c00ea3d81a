#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/CString.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/Messages.h"
#include "tests/support/FifoGuard.h"

namespace fs = std::filesystem;

TEST(CStringTest, FormatsTheWaysTheToolUses)
{
    EXPECT_EQ(CString::Formatted(u"%04X", 0x2A3Bu), CString(u"2A3B"));
    EXPECT_EQ(CString::Formatted(u"%04X", 5u), CString(u"0005"));
    EXPECT_EQ(CString::Formatted(u"%04X", 0x12345u), CString(u"12345"));
    EXPECT_EQ(CString::Formatted(u"v%d.0", 3), CString(u"v3.0"));
    EXPECT_EQ(CString::Formatted(u"%d", -42), CString(u"-42"));
    EXPECT_EQ(CString::Formatted(u"%s=%d%%", u"x", 7), CString(u"x=7%"));
    EXPECT_EQ(CString::Formatted(u"%q"), CString(u"%q"));
}

TEST(CStringTest, Utf8RoundTripAndInvalidInput)
{
    CString s = CString::FromUtf8("升级 ok \xF0\x9F\x90\xAD");
    EXPECT_EQ(s.GetLength(), 8); // two CJK, space, o, k, space, surrogate pair
    EXPECT_EQ(CString::FromUtf8(s.ToUtf8()), s);
    CString bad = CString::FromUtf8("a\xC3\x28z\xE2\x82");
    EXPECT_EQ(bad, CString(u"a\uFFFD(z\uFFFD\uFFFD"));
}

TEST(CStringTest, CaseInsensitiveCompareAndHexParse)
{
    EXPECT_EQ(CString(u"CDBOOT.BIMG").CompareNoCase(u"cdboot.bimg"), 0);
    EXPECT_NE(CString(u"cdboot.bimg2").CompareNoCase(u"cdboot.bimg"), 0);
    EXPECT_EQ(WcsToULong16(u"00FF"), 0xFFul);
    EXPECT_EQ(WcsToULong16(u"1g2"), 0x1ul);
    EXPECT_EQ(WcsToULong16(u"zz"), 0ul);
    EXPECT_EQ(WcsToULong16(u"123456789"), 0xFFFFFFFFul);
}

TEST(CStringTest, EscapedUtf8KeepsEveryByteString)
{
    const std::string samples[] = {"plain", "\xFF", "caf\xC3\xA9", "\xC3", "\xC3\x28", "\xED\xB2\x80",
                                   "\xF4\x90\x80\x80", "\xC0\xAF", "x\x80y\xFEz", std::string("a\0b", 3)};
    for (const std::string& b : samples) {
        EXPECT_EQ(CString::FromUtf8Escaped(b).ToUtf8Escaped(), b) << b;
    }
    // Valid text decodes as usual; each stray byte becomes its own lone surrogate.
    EXPECT_EQ(CString::FromUtf8Escaped("caf\xC3\xA9"), CString(u"café"));
    EXPECT_EQ(CString::FromUtf8Escaped("d\xFF\xC3"), CString(u"d\xDCFF\xDCC3"));
    // Plain UTF-8 output shows them as U+FFFD, never as bytes that are not UTF-8.
    EXPECT_EQ(CString::FromUtf8Escaped("d\xFF").ToUtf8(), "d\xEF\xBF\xBD");
}

TEST(CodePageTest, AnsiConversionAndTheFlagsWindowsRefuses)
{
    const char16_t text[] = u"Hub\u00E9\u4E2D";
    char out[8] = {};
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, 5, nullptr, 0, nullptr, nullptr), 5);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, 5, out, sizeof out, nullptr, nullptr), 5);
    EXPECT_EQ(std::string(out, 5), "Hub\xE9?");
    // A bit Windows gives no meaning fails the call there; a caller passing one must fail here.
    for (DWORD flags : {DWORD(1), DWORD(0x100), DWORD(0x800)}) {
        SetLastError(0);
        EXPECT_EQ(WideCharToMultiByte(CP_ACP, flags, text, 5, out, sizeof out, nullptr, nullptr), 0) << flags;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS) << flags;
    }
}

#ifndef _WIN32 // native names are bytes here; on Windows they are UTF-16 already
TEST(PathTest, NativeNamesRoundTripWhateverTheirBytes)
{
    const std::string samples[] = {"/tmp/d\xFF/Tarvex.cfg", "/opt/t\xC3\xA9st/a..b.bimg", "/x/back\\slash/f",
                                   "/m/\xED\xA0\x80\xC3", "rel/\x80"};
    for (const std::string& native : samples) {
        const CString w = platform::WindowsPath(native);
        EXPECT_EQ(platform::NativePath(w), native) << native;
        // Separators are backslashes; a backslash inside a name is not one.
        EXPECT_EQ(w.Find(u'/'), -1) << native;
    }
    EXPECT_EQ(platform::WindowsPath("/x/back\\slash/f").Find(u"back\\slash"), -1);
    EXPECT_EQ(platform::NativePath(CString(u"C\\dir\\f")), "C/dir/f");
}
#endif

class FileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("tarvex_platform_" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    CString Path(const char* name) const { return platform::WindowsPath((dir / name).string()); }
    fs::path dir;
};

TEST_F(FileTest, ShareModesAreEnforcedWithinTheProcess)
{
    CString p = Path("held.bin");
    HANDLE w = CreateFileW(p, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(w, "abc", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    HANDLE r = CreateFileW(p, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(r, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    // A refused CREATE_ALWAYS must not truncate the held file.
    EXPECT_EQ(CreateFileW(p, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(fs::file_size(dir / "held.bin"), 3u);
    ASSERT_TRUE(CloseHandle(w));
    r = CreateFileW(p, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(r, INVALID_HANDLE_VALUE);
    // A second reader that shares reading is fine; a writer is not.
    HANDLE r2 = CreateFileW(p, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(r2, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileW(p, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    char buf[8] = {};
    ASSERT_TRUE(ReadFile(r, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 3u);
    CloseHandle(r);
    CloseHandle(r2);
    EXPECT_FALSE(CloseHandle(r)); // closing twice is refused, not a crash
    EXPECT_FALSE(ReadFile(r, buf, 1, &n, nullptr));
}

TEST_F(FileTest, BackslashPathsAndCopy)
{
    CString src = Path("a.bin");
    HANDLE h = CreateFileW(src, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    WriteFile(h, "hello", 5, &n, nullptr);
    CloseHandle(h);
    EXPECT_NE(src.Find(u'\\'), -1);
    CString dst = Path("b.bin");
    EXPECT_TRUE(CopyFileW(src, dst, FALSE));
    EXPECT_EQ(fs::file_size(dir / "b.bin"), 5u);
    EXPECT_FALSE(CopyFileW(src, dst, TRUE));
    EXPECT_FALSE(CopyFileW(Path("missing.bin"), dst, FALSE));
    EXPECT_EQ(fs::file_size(dir / "b.bin"), 5u);
    EXPECT_FALSE(fs::exists(dir / "b.bin.copy~"));
    EXPECT_EQ(CreateFileW(Path("nope"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

#ifndef _WIN32 // FIFOs, modes, owners and symlinks; the Windows build has its own file tests
TEST_F(FileTest, FilesInDirectoriesWhoseNamesAreNotUtf8)
{
    const fs::path odd = dir / "d\xFF\xC3";
    fs::create_directory(odd);
    const CString p = platform::WindowsPath((odd / "f\x80.bin").string());
    HANDLE h = CreateFileW(p, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(fs::exists(odd / "f\x80.bin"));
    EXPECT_TRUE(CopyFileW(p, platform::WindowsPath((odd / "g\xFE").string()), FALSE));
    EXPECT_TRUE(fs::exists(odd / "g\xFE"));
    EXPECT_EQ(std::distance(fs::directory_iterator(odd), fs::directory_iterator()), 2);
}

TEST_F(FileTest, OnlyRegularFilesOpenAndNothingWaits)
{
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const CString p = platform::WindowsPath(fifo.string());
    // An ordinary open of a FIFO without a partner never returns; the answer must come at once.
    bool waited = false;
    auto [h, err] = testsupport::CallWithoutWaitingOn(
        fifo,
        [&] {
            HANDLE opened = CreateFileW(p, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            return std::make_pair(opened, GetLastError());
        },
        &waited);
    EXPECT_FALSE(waited);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    EXPECT_EQ(err, ERROR_ACCESS_DENIED);
    // Writing to it, or copying from it, neither waits nor succeeds.
    h = testsupport::CallWithoutWaitingOn(
        fifo, [&] { return CreateFileW(p, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr); }, &waited);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    EXPECT_FALSE(waited);
    EXPECT_FALSE(testsupport::CallWithoutWaitingOn(fifo, [&] { return CopyFileW(p, Path("copy"), FALSE); }, &waited));
    EXPECT_FALSE(waited);
    EXPECT_FALSE(fs::exists(dir / "copy"));

    for (const char* other : {"/dev/zero", "/dev/null"}) {
        EXPECT_EQ(CreateFileW(platform::WindowsPath(other), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE)
            << other;
    }
}

namespace {
bool WriteText(HANDLE h, const std::string& text)
{
    DWORD n = 0;
    return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) && n == text.size();
}
std::string Slurp(const fs::path& p)
{
    std::string s;
    FILE* f = std::fopen(p.c_str(), "rb");
    if (!f) return "<missing>";
    char buf[256];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    std::fclose(f);
    return s;
}
} // namespace

TEST_F(FileTest, ReplaceKeepsModeOwnerAndLinks)
{
    const fs::path file = dir / "f";
    const CString p = Path("f");
    ASSERT_TRUE(platform::ReplaceFileContents(p, [](HANDLE h) { return WriteText(h, "one"); }));
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(file.c_str(), 1234, 2345), 0);
    }
    ASSERT_TRUE(platform::ReplaceFileContents(p, [](HANDLE h) { return WriteText(h, "two"); }));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (root) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 2345u);
    }
    EXPECT_EQ(Slurp(file), "two");

    // Through a link (relative, and a chain): the target is replaced, the links stay.
    fs::create_directory(dir / "sub");
    fs::create_symlink("../f", dir / "sub" / "link1");
    fs::create_symlink("sub/link1", dir / "link2");
    ASSERT_TRUE(platform::ReplaceFileContents(Path("link2"), [](HANDLE h) { return WriteText(h, "three"); }));
    EXPECT_TRUE(fs::is_symlink(dir / "link2"));
    EXPECT_TRUE(fs::is_symlink(dir / "sub" / "link1"));
    EXPECT_EQ(Slurp(file), "three");
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // A dangling link is saved to where it points.
    fs::create_symlink("new", dir / "dangling");
    ASSERT_TRUE(platform::ReplaceFileContents(Path("dangling"), [](HANDLE h) { return WriteText(h, "four"); }));
    EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
    EXPECT_EQ(Slurp(dir / "new"), "four");

    // A new file gets the process's umask, not a fixed mode.
    const mode_t old = ::umask(002);
    const bool made = platform::ReplaceFileContents(Path("fresh"), [](HANDLE h) { return WriteText(h, "x"); });
    ::umask(old);
    ASSERT_TRUE(made);
    ASSERT_EQ(::stat((dir / "fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);

    // The copy into an existing file keeps that file's mode too.
    ASSERT_TRUE(CopyFileW(Path("fresh"), p, FALSE));
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(Slurp(file), "x");
}

TEST_F(FileTest, FailedReplaceChangesNothingAndLeavesNothing)
{
    ASSERT_TRUE(platform::ReplaceFileContents(Path("f"), [](HANDLE h) { return WriteText(h, "kept"); }));
    EXPECT_FALSE(platform::ReplaceFileContents(Path("f"), [](HANDLE h) { return WriteText(h, "half") && false; }));
    EXPECT_FALSE(platform::ReplaceFileContents(Path("f"), [](HANDLE h) { return WriteText(h, "new"); },
                                               [](LPCWSTR written) {
                                                   // The check sees the finished temporary.
                                                   return Slurp(platform::NativePath(CString(written))) != "new";
                                               }));
    EXPECT_EQ(Slurp(dir / "f"), "kept");
    fs::create_directory(dir / "adir");
    EXPECT_FALSE(platform::ReplaceFileContents(Path("adir"), [](HANDLE h) { return WriteText(h, "x"); }));
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(platform::ReplaceFileContents(Path("fifo"), [](HANDLE h) { return WriteText(h, "x"); }));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);
}

TEST_F(FileTest, PlantedTemporariesAreNeverWrittenThrough)
{
    // Names a save or copy used to write through: a link to a victim, a directory and a
    // read-only file of someone else under each of them.
    const fs::path victim = dir / "victim";
    {
        FILE* f = std::fopen(victim.c_str(), "wb");
        std::fputs("victim", f);
        std::fclose(f);
    }
    fs::create_symlink(victim, dir / "f.copy~");
    fs::create_symlink(victim, dir / "f.save~");
    fs::create_symlink(victim, dir / "f.tmp~");
    fs::create_directory(dir / "g.copy~");
    {
        FILE* f = std::fopen((dir / "h.copy~").c_str(), "wb");
        std::fputs("theirs", f);
        std::fclose(f);
        ::chmod((dir / "h.copy~").c_str(), 0444);
    }
    ASSERT_TRUE(platform::ReplaceFileContents(Path("src"), [](HANDLE h) { return WriteText(h, "data"); }));
    for (const char* name : {"f", "g", "h"}) {
        EXPECT_TRUE(CopyFileW(Path("src"), Path(name), FALSE)) << name;
        EXPECT_EQ(Slurp(dir / name), "data") << name;
    }
    EXPECT_EQ(Slurp(victim), "victim");
    EXPECT_TRUE(fs::is_symlink(dir / "f.copy~"));
    EXPECT_TRUE(fs::is_directory(dir / "g.copy~"));
    EXPECT_EQ(Slurp(dir / "h.copy~"), "theirs");
}

TEST_F(FileTest, UpdateLockIsExclusiveAndBounded)
{
    HANDLE first = platform::LockFileForUpdate(Path("Tarvex.cfg"), 1000);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    // Another holder, here another thread, waits its time-out and is refused; a link to the
    // same file shares the lock.
    fs::create_symlink(dir / "Tarvex.cfg", dir / "other.cfg");
    std::atomic<DWORD> err{0};
    std::thread([&] {
        HANDLE second = platform::LockFileForUpdate(Path("other.cfg"), 50);
        err = second == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
    }).join();
    EXPECT_EQ(err.load(), ERROR_LOCK_VIOLATION);
    // Released: the waiter that was blocked gets it.
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        HANDLE second = platform::LockFileForUpdate(Path("other.cfg"), 20000);
        got = second != INVALID_HANDLE_VALUE;
        CloseHandle(second);
    });
    ASSERT_TRUE(CloseHandle(first));
    waiter.join();
    EXPECT_TRUE(got.load());
    EXPECT_EQ(platform::LockFileForUpdate(Path("missing-dir") + u"\\Tarvex.cfg", 10), INVALID_HANDLE_VALUE);
}
#endif

TEST_F(FileTest, AFileStillOpenAtExitDoesNotCrashTheExit)
{
    const CString p = Path("open-at-exit");
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // this process has threads of earlier tests
    EXPECT_EXIT(
        {
            CreateFileW(p, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ModuleTest, OverrideGivesABackslashPath)
{
    platform::OverrideModuleFileName("/opt/tarvex/bin/tarvex");
    WCHAR buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    EXPECT_EQ(CString(buf), CString(u"\\opt\\tarvex\\bin\\tarvex"));
    EXPECT_EQ(n, 22u);
    platform::OverrideModuleFileName("");
    EXPECT_GT(GetModuleFileNameW(nullptr, buf, MAX_PATH), 0u);
}

TEST(EventTest, AutoResetNamedAndTimeouts)
{
    HANDLE a = CreateEventW(nullptr, FALSE, FALSE, u"TEST_EVENT");
    HANDLE b = CreateEventW(nullptr, FALSE, FALSE, u"TEST_EVENT");
    ASSERT_NE(a, b);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);
    SetEvent(b);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0); // one object behind both names
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);  // auto-reset consumed it
    HANDLE m = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(m);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_FAILED);
}

TEST(EventTest, OneSetReleasesExactlyOneWaiterOfAnAutoResetEvent)
{
    for (int round = 0; round < 50; ++round) {
        HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        std::atomic<int> released{0};
        auto waiter = [&] {
            if (WaitForSingleObject(ev, 50) == WAIT_OBJECT_0) ++released;
        };
        std::thread a(waiter), b(waiter);
        SetEvent(ev);
        a.join();
        b.join();
        EXPECT_EQ(released.load(), 1);
        EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT); // consumed, not left behind
        CloseHandle(ev);
    }
}

static DWORD SetAfter(LPVOID p)
{
    Sleep(20);
    SetEvent(static_cast<HANDLE>(p));
    return 7;
}

TEST(ThreadTest, WaitAndExitCode)
{
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE th = CreateThread(nullptr, 0, SetAfter, ev, 0, nullptr);
    ASSERT_NE(th, nullptr);
    EXPECT_EQ(WaitForSingleObject(ev, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(th, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(th, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(th);
    CloseHandle(ev);
}

static std::atomic<bool> g_stopSlow{false};
static DWORD SlowBody(LPVOID)
{
    while (!g_stopSlow.load()) Sleep(1);
    return 0;
}

TEST(ThreadTest, TerminateRecordsTheCodeAndWaitsForTheBody)
{
    g_stopSlow = false;
    HANDLE th = CreateThread(nullptr, 0, SlowBody, nullptr, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(th, 5), WAIT_TIMEOUT);
    // Release the body only once TerminateThread has recorded its code, so the body is
    // certainly still running when it is "terminated".
    std::thread releaser([th] {
        DWORD c = 0;
        while (GetExitCodeThread(th, &c) && c != 254) std::this_thread::yield();
        g_stopSlow = true;
    });
    EXPECT_TRUE(TerminateThread(th, 254));
    DWORD code = 0;
    GetExitCodeThread(th, &code);
    EXPECT_EQ(code, 254u);
    releaser.join();
    CloseHandle(th);
}

namespace {
struct Recorder : IMessageTarget {
    std::vector<UINT> got;
    LRESULT ReceiveMessage(UINT m, WPARAM, LPARAM) override
    {
        got.push_back(m);
        return 1;
    }
};
} // namespace

TEST(MessageTest, RegisteredPostedAndDropped)
{
    UINT a = RegisterWindowMessageW(u"QL40_DEVICE_CHANGE");
    EXPECT_GE(a, REGISTERED_MESSAGE_FIRST);
    EXPECT_EQ(a, RegisterWindowMessageW(u"QL40_DEVICE_CHANGE"));
    EXPECT_NE(a, RegisterWindowMessageW(u"DUNX4_ISP_DEVICE_CHANGE"));

    platform::ClearMessageQueue();
    Recorder r;
    HWND h = platform::RegisterWindow(&r);
    std::thread t([&] {
        for (UINT i = 0; i < 50; ++i) PostMessageW(h, WM_USER + i, 0, 0);
    });
    t.join();
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    ASSERT_EQ(r.got.size(), 50u);
    for (UINT i = 0; i < 50; ++i) EXPECT_EQ(r.got[i], WM_USER + i);

    PostMessageW(h, WM_USER, 0, 0);
    platform::UnregisterWindow(h);
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m); // dropped, not delivered
    EXPECT_EQ(r.got.size(), 50u);
    EXPECT_FALSE(PostMessageW(h, WM_USER, 0, 0));
    EXPECT_EQ(SendMessageW(h, WM_USER, 0, 0), 0);
}

TEST(MessageTest, MsgWaitWakesOnEventOrMessageAndTimesOut)
{
    platform::ClearMessageQueue();
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(MsgWaitForSingleObject(ev, 10), WAIT_TIMEOUT);
    std::thread t([&] { Sleep(10); SetEvent(ev); });
    EXPECT_EQ(MsgWaitForSingleObject(ev, 60000), WAIT_OBJECT_0);
    t.join();
    ResetEvent(ev);
    Recorder r;
    HWND h = platform::RegisterWindow(&r);
    std::thread t2([&] { Sleep(10); PostMessageW(h, WM_USER, 0, 0); });
    EXPECT_EQ(MsgWaitForSingleObject(ev, 60000), WAIT_OBJECT_0 + 1);
    t2.join();
    platform::UnregisterWindow(h);
    platform::ClearMessageQueue();
    CloseHandle(ev);

    // The wait leaves an auto-reset event set, on both platforms (Windows' own wait consumes
    // it; ours sets it again): the caller's own wait is what takes it.
    HANDLE autoEv = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(MsgWaitForSingleObject(autoEv, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(autoEv);
}
