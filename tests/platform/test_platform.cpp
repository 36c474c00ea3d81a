#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/CString.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/Messages.h"

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
}
