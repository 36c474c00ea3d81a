// What the kernel32/user32 implementation of the seam adds or must keep on Windows: paths the
// ANSI code page cannot spell, the real module path, the scaled clock on real waits, and
// waits that promise not to consume an auto-reset event.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/CString.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/Messages.h"

namespace fs = std::filesystem;

TEST(WinKernel, PathsOutsideTheAnsiCodePageRoundTrip)
{
    const fs::path dir = fs::temp_directory_path() / u"tarvex_升级_ü";
    fs::create_directories(dir);
    const CString p((dir / u"配置.cfg").u16string());
    EXPECT_NE(p.Find(u'升'), -1);
    HANDLE h = CreateFileW(p, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "abcd", 4, &n, nullptr));
    CloseHandle(h);
    // The file carries the name as given, seen through the wide file system API.
    EXPECT_TRUE(fs::exists(dir / u"配置.cfg"));
    h = CreateFileW(p, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(GetFileSizeEx64(h), 4);
    CloseHandle(h);
    CString copy = platform::WindowsPath(platform::NativePath(p));
    EXPECT_EQ(copy, p);
    EXPECT_TRUE(CopyFileW(p, p + u".bak", FALSE));
    EXPECT_TRUE(fs::exists(dir / u"配置.cfg.bak"));
    EXPECT_TRUE(MoveFileExW(p + u".bak", p, MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(fs::exists(dir / u"配置.cfg.bak"));
    std::error_code ec;
    fs::remove_all(dir, ec);
}

TEST(WinKernel, ErrorsKeepTheSeamsCodes)
{
    const fs::path dir = fs::temp_directory_path() / "tarvex_errors";
    fs::create_directories(dir);
    const CString missingDir = platform::WindowsPath((dir / "no" / "such.cfg").string());
    EXPECT_EQ(CreateFileW(missingDir, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND); // not the system's "path not found"
    const CString a = platform::WindowsPath((dir / "a").string()), b = platform::WindowsPath((dir / "b").string());
    for (const CString& p : {a, b}) CloseHandle(CreateFileW(p, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    EXPECT_FALSE(MoveFileExW(a, b, 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    // A directory is not a file.
    EXPECT_EQ(CreateFileW(platform::WindowsPath(dir.string()), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // Device names are no files, whatever folder or extension they come with.
    for (const char16_t* device : {u"NUL", u"\\\\.\\NUL", u"CON", u"\\\\.\\pipe\\tarvex-none"}) {
        EXPECT_EQ(CreateFileW(device, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr),
                  INVALID_HANDLE_VALUE)
            << CString(device).ToUtf8();
    }
    EXPECT_EQ(CreateFileW(a, GENERIC_READ, 0, nullptr, 99, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    std::error_code ec;
    fs::remove_all(dir, ec);
}

TEST(WinKernel, TheRealModulePathAndItsOverride)
{
    WCHAR buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    ASSERT_GT(n, 0u);
    CString self(buf);
    EXPECT_EQ(self.Right(18).CompareNoCase(u"\\test_platform.exe"), 0) << self.ToUtf8();
    EXPECT_EQ(self[1], u':'); // a drive path
    // A buffer too small gets a truncated, terminated text.
    WCHAR small[6];
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 6), 5u);
    EXPECT_EQ(small[5], 0);
    platform::OverrideModuleFileName("D:/portable/Tarvex/tarvex.exe");
    n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    EXPECT_EQ(CString(buf), CString(u"D:\\portable\\Tarvex\\tarvex.exe"));
    platform::OverrideModuleFileName("");
    GetModuleFileNameW(nullptr, buf, MAX_PATH);
    EXPECT_EQ(CString(buf), self);
}

TEST(WinKernel, RealWaitsRunOnTheScaledClock)
{
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    platform::SetTimeScale(0.001);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 60000), WAIT_TIMEOUT); // 60 s of the clock, 60 ms of real time
    EXPECT_EQ(MsgWaitForSingleObject(ev, 60000), WAIT_TIMEOUT);
    auto took = std::chrono::steady_clock::now() - t0;
    platform::SetTimeScale(1.0);
    EXPECT_LT(took, std::chrono::seconds(30));
    CloseHandle(ev);
}

TEST(WinKernel, LookingAtAnAutoResetEventLeavesItSet)
{
    HANDLE ev = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_TRUE(platform::IsSignaled(ev));
    EXPECT_TRUE(platform::IsSignaled(ev));
    EXPECT_EQ(MsgWaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(MsgWaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    // A real wait consumes it, once.
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(platform::IsSignaled(ev));
    CloseHandle(ev);
}

namespace {
struct SelfCase {
    HANDLE self = nullptr;
    HANDLE go = nullptr;
};
DWORD TerminateSelf(LPVOID p)
{
    auto* c = static_cast<SelfCase*>(p);
    WaitForSingleObject(c->go, INFINITE);
    return TerminateThread(c->self, 9) ? 1 : 2;
}
unsigned RuntimeBody(void* p)
{
    WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
    return 41;
}
} // namespace

TEST(WinKernel, ThreadsOfTheRuntimeAndOfTheSeamAlike)
{
    // A thread asked to wait for its own end refuses instead of hanging.
    SelfCase c;
    c.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE th = CreateThread(nullptr, 0, &TerminateSelf, &c, 0, nullptr);
    ASSERT_NE(th, nullptr);
    c.self = th;
    SetEvent(c.go);
    ASSERT_EQ(WaitForSingleObject(th, 30000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(th, &code));
    EXPECT_EQ(code, 2u);
    CloseHandle(th);

    // The runtime's threads are kernel handles the seam waits on, terminates and asks.
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    unsigned id = 0;
    auto h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &RuntimeBody, stop, 0, &id));
    ASSERT_NE(h, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(h, 1), WAIT_TIMEOUT);
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    SetEvent(stop);
    ASSERT_EQ(WaitForSingleObject(h, 30000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 41u);
    CloseHandle(h);
    CloseHandle(stop);
    CloseHandle(c.go);
}

namespace {
struct Counter : IMessageTarget {
    int got = 0;
    LRESULT ReceiveMessage(UINT, WPARAM, LPARAM) override { return ++got; }
};
} // namespace

TEST(WinQueue, PostsFromAWorkerReachTheRealQueue)
{
    platform::ClearMessageQueue();
    EXPECT_EQ(platform::PendingMessageCount(), 0u);
    Counter c;
    HWND h = platform::RegisterWindow(&c);
    ASSERT_TRUE(IsWindow(h));
    const UINT msg = RegisterWindowMessageW(u"TARVEX_TEST_MESSAGE");
    std::thread([&] {
        for (int i = 0; i < 3; ++i) PostMessageW(h, msg, static_cast<WPARAM>(i), 0);
    }).join();
    EXPECT_EQ(platform::PendingMessageCount(), 1u); // "some": the real queue keeps no count
    EXPECT_EQ(MsgWaitForSingleObject(nullptr, 0), WAIT_OBJECT_0 + 1);
    MSG m;
    int seen = 0;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        EXPECT_EQ(m.hwnd, h);
        EXPECT_EQ(m.wParam, static_cast<WPARAM>(seen)); // in order
        ++seen;
        DispatchMessageW(&m);
    }
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(c.got, 3);
    EXPECT_EQ(SendMessageW(h, msg, 0, 0), 4);
    platform::UnregisterWindow(h);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(PostMessageW(h, msg, 0, 0));
    EXPECT_FALSE(PostMessageW(nullptr, msg, 0, 0));
    EXPECT_EQ(SendMessageW(h, msg, 0, 0), 0);
    EXPECT_EQ(c.got, 4);
}

TEST(WinQueue, AWindowUnregisteredFromAnotherThreadDropsItsMessages)
{
    Counter c;
    HWND h = platform::RegisterWindow(&c);
    const UINT msg = RegisterWindowMessageW(u"TARVEX_TEST_MESSAGE");
    PostMessageW(h, msg, 0, 0);
    std::thread([&] { platform::UnregisterWindow(h); }).join();
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    EXPECT_EQ(c.got, 0);
    EXPECT_FALSE(IsWindow(h)); // destroyed on its own thread once that thread pumped
}

namespace {
bool WriteText(HANDLE h, const std::string& text)
{
    DWORD n = 0;
    return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) && n == text.size();
}
std::string ReadText(const CString& path)
{
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<none>";
    char buf[64];
    DWORD n = 0;
    ReadFile(h, buf, sizeof buf, &n, nullptr);
    CloseHandle(h);
    return std::string(buf, n);
}
class WinFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / "tarvex_winfiles";
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    CString Path(const char* name) const { return CString((dir / name).u16string()); }
    fs::path dir;
};
} // namespace

TEST_F(WinFiles, AReplaceIsWholeOrNothingAndLeavesNothing)
{
    ASSERT_TRUE(platform::ReplaceFileContents(Path("f"), [](HANDLE h) { return WriteText(h, "kept"); }));
    EXPECT_FALSE(platform::ReplaceFileContents(Path("f"), [](HANDLE h) { return WriteText(h, "half") && false; }));
    EXPECT_FALSE(platform::ReplaceFileContents(Path("f"), [](HANDLE h) { return WriteText(h, "new"); },
                                               [](LPCWSTR written) { return ReadText(CString(written)) != "new"; }));
    EXPECT_EQ(ReadText(Path("f")), "kept");
    ASSERT_TRUE(platform::ReplaceFileContents(Path("f"), [](HANDLE h) { return WriteText(h, "second"); }));
    EXPECT_EQ(ReadText(Path("f")), "second");
    fs::create_directory(dir / "adir");
    EXPECT_FALSE(platform::ReplaceFileContents(Path("adir"), [](HANDLE h) { return WriteText(h, "x"); }));
    // A file another handle holds without delete sharing cannot be replaced, and stays.
    HANDLE held = CreateFileW(Path("f"), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(platform::ReplaceFileContents(Path("f"), [](HANDLE h) { return WriteText(h, "third"); }));
    CloseHandle(held);
    EXPECT_EQ(ReadText(Path("f")), "second");
    for (const auto& e : fs::directory_iterator(dir)) // f and adir only
        EXPECT_TRUE(e.path().filename() == "f" || e.path().filename() == "adir") << e.path().string();
}

TEST_F(WinFiles, TheUpdateLockIsExclusiveBoundedAndLeavesNothing)
{
    HANDLE first = platform::LockFileForUpdate(Path("Tarvex.cfg"), 1000);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    std::atomic<DWORD> err{0};
    std::thread([&] {
        HANDLE second = platform::LockFileForUpdate(Path("Tarvex.cfg"), 50);
        err = second == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
    }).join();
    EXPECT_EQ(err.load(), ERROR_LOCK_VIOLATION);
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        HANDLE second = platform::LockFileForUpdate(Path("Tarvex.cfg"), 20000);
        got = second != INVALID_HANDLE_VALUE;
        CloseHandle(second);
    });
    ASSERT_TRUE(CloseHandle(first));
    waiter.join();
    EXPECT_TRUE(got.load());
    EXPECT_TRUE(fs::is_empty(dir)); // the lock file goes with its last holder
    EXPECT_EQ(platform::LockFileForUpdate(Path("missing-dir") + u"\\Tarvex.cfg", 10), INVALID_HANDLE_VALUE);
}
