// The kernel services of platform/Kernel.h on kernel32: real files with the system's share
// modes, real events and threads, so the message loop and overlapped HID reads can wait on
// the same handles. What the seam adds on top stays: waits run on the scaled clock, the
// module path can be overridden, and TerminateThread waits for the thread body to return.
#include "platform/Kernel.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Messages.h"
#include "platform/win32/ScaledTime.h"
#include "platform/win32/Win32Api.h"

namespace w32 = platform::win32;

namespace {

constexpr DWORD ERROR_PATH_NOT_FOUND_ = 3;
constexpr DWORD ERROR_ALREADY_EXISTS_ = 183;

std::mutex g_moduleMu;
std::string g_moduleOverride;

// Exit codes given to TerminateThread, reported instead of the body's own.
std::mutex g_termMu;
std::map<HANDLE, DWORD> g_terminated;

std::u16string WinString(LPCWSTR path)
{
    std::u16string s(path);
    for (auto& c : s)
        if (c == u'/') c = u'\\';
    return s;
}

// The seam reports one code for a missing file whether the name or a folder on the way is
// missing, and one for a name that is taken, as it does on every platform.
void NormaliseLastError()
{
    DWORD e = w32::LastError();
    if (e == ERROR_PATH_NOT_FOUND_) w32::SetLastErrorCode(ERROR_FILE_NOT_FOUND);
    else if (e == ERROR_ALREADY_EXISTS_) w32::SetLastErrorCode(ERROR_FILE_EXISTS);
}

DWORD RealMilliseconds(DWORD ms)
{
    if (ms == INFINITE) return w32::kInfinite;
    if (ms == 0) return 0;
    double real = std::ceil(static_cast<double>(platform::ScaledDuration(ms).count()) / 1e6);
    if (real < 1) return 1; // a positive wait never becomes a poll that spins
    if (real >= static_cast<double>(w32::kInfinite - 1)) return w32::kInfinite - 1;
    return static_cast<DWORD>(real);
}

} // namespace

std::uint32_t platform::win32::RealMsFor(std::uint32_t ms) { return RealMilliseconds(ms); }

DWORD GetLastError() { return w32::LastError(); }
void SetLastError(DWORD err) { w32::SetLastErrorCode(err); }

namespace platform {

std::string NativePath(const CString& path) { return path.ToUtf8(); }

CString WindowsPath(const std::string& native)
{
    std::u16string u = CString::FromUtf8(native).Str();
    for (auto& c : u)
        if (c == u'/') c = u'\\';
    return CString(std::move(u));
}

void OverrideModuleFileName(const std::string& nativePath)
{
    std::lock_guard<std::mutex> lk(g_moduleMu);
    g_moduleOverride = nativePath;
}

} // namespace platform

// ---- files ---------------------------------------------------------------------------------

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                   HANDLE)
{
    if (!path || !*path) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition < CREATE_NEW || disposition > OPEN_ALWAYS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string p = WinString(path);
    HANDLE h = w32::OpenFile(p.c_str(), access, share, disposition, flags ? flags : FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE) {
        NormaliseLastError();
        return INVALID_HANDLE_VALUE;
    }
    // Only files on a disk: a name such as NUL, CON or COM1 (any extension), a pipe or a
    // device path reaches a device, which the tool must neither wait on nor read from.
    if (!w32::IsDiskFile(h)) {
        w32::Close(h);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL ReadFile(HANDLE h, LPVOID buf, DWORD toRead, DWORD* read, OVERLAPPED*)
{
    DWORD n = 0;
    if (!buf && toRead) {
        if (read) *read = 0;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool ok = w32::ReadAll(h, buf, toRead, &n);
    if (read) *read = n;
    return ok ? TRUE : FALSE;
}

BOOL WriteFile(HANDLE h, LPCVOID buf, DWORD toWrite, DWORD* written, OVERLAPPED*)
{
    DWORD n = 0;
    if (!buf && toWrite) {
        if (written) *written = 0;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool ok = w32::WriteAll(h, buf, toWrite, &n);
    if (written) *written = n;
    return ok ? TRUE : FALSE;
}

LONGLONG GetFileSizeEx64(HANDLE h) { return w32::FileSize(h); }
BOOL FlushFileBuffers(HANDLE h) { return w32::Flush(h) ? TRUE : FALSE; }

BOOL CloseHandle(HANDLE h)
{
    if (!w32::Close(h)) return FALSE;
    std::lock_guard<std::mutex> lk(g_termMu);
    g_terminated.erase(h); // the value may name another object from now on
    return TRUE;
}

DWORD OpenHandleCount() { return w32::ProcessHandleCount(); }

BOOL CopyFileW(LPCWSTR existing, LPCWSTR newFile, BOOL failIfExists)
{
    if (!existing || !newFile || !*newFile) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE src = CreateFileW(existing, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (src == INVALID_HANDLE_VALUE) return FALSE;
    std::u16string dst = WinString(newFile);
    auto fail = [&](DWORD e) {
        CloseHandle(src);
        SetLastError(e);
        return FALSE;
    };
    if (w32::Exists(dst.c_str())) {
        if (failIfExists) return fail(ERROR_FILE_EXISTS);
        // A destination someone holds without write sharing is refused before anything is written.
        HANDLE probe = CreateFileW(dst.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        if (probe == INVALID_HANDLE_VALUE) return fail(GetLastError());
        CloseHandle(probe);
    }
    std::vector<unsigned char> buf(1 << 16);
    BOOL ok = platform::ReplaceFileContents(dst.c_str(), [&](HANDLE out) {
        for (;;) {
            DWORD n = 0, w = 0;
            if (!ReadFile(src, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr)) return false;
            if (n == 0) return true;
            if (!WriteFile(out, buf.data(), n, &w, nullptr) || w != n) return false;
        }
    });
    DWORD e = GetLastError();
    CloseHandle(src);
    SetLastError(ok ? ERROR_SUCCESS : (e ? e : ERROR_ACCESS_DENIED));
    return ok;
}

BOOL DeleteFileW(LPCWSTR path)
{
    if (!path) return FALSE;
    if (w32::Remove(WinString(path).c_str())) return TRUE;
    NormaliseLastError();
    return FALSE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR newFile, DWORD flags)
{
    if (!existing || !newFile) return FALSE;
    if (w32::Rename(WinString(existing).c_str(), WinString(newFile).c_str(), flags & MOVEFILE_REPLACE_EXISTING))
        return TRUE;
    NormaliseLastError();
    return FALSE;
}

DWORD GetModuleFileNameW(HMODULE, LPWSTR buf, DWORD size)
{
    std::string native;
    {
        std::lock_guard<std::mutex> lk(g_moduleMu);
        native = g_moduleOverride;
    }
    CString w = native.empty() ? CString(w32::ModulePath()) : platform::WindowsPath(native);
    if (w.IsEmpty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        if (buf && size) buf[0] = 0;
        return 0;
    }
    if (!buf || size == 0) return 0;
    DWORD n = static_cast<DWORD>(w.GetLength());
    if (n >= size) n = size - 1;
    std::memcpy(buf, w.GetString(), n * sizeof(WCHAR));
    buf[n] = 0;
    return n;
}

namespace platform {

BOOL ReplaceFileContents(LPCWSTR path, const std::function<bool(HANDLE hTemp)>& write,
                         const std::function<bool(LPCWSTR tempPath)>& check)
{
    if (!path || !*path || !write) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string target = WinString(path);
    const bool exists = w32::Exists(target.c_str());
    if (w32::IsDirectory(target.c_str())) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // Created exclusively beside the file, so it is on the same volume and the final step is
    // a rename; it replaces the file only once written, flushed and checked.
    std::u16string tmp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
        tmp = target + u"." + w32::RandomSuffix() + u".tmp";
        h = w32::OpenFile(tmp.c_str(), GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        if (h == INVALID_HANDLE_VALUE && w32::LastError() != ERROR_FILE_EXISTS && w32::LastError() != ERROR_ALREADY_EXISTS_)
            break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        NormaliseLastError();
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    bool ok = write(h);
    DWORD err = ok ? ERROR_SUCCESS : GetLastError();
    if (ok && !w32::Flush(h)) ok = false, err = w32::LastError();
    w32::Close(h);
    if (ok && check) ok = check(tmp.c_str());
    if (ok && !(exists ? w32::ReplaceWith(target.c_str(), tmp.c_str()) : w32::Rename(tmp.c_str(), target.c_str(), false)))
        ok = false, err = w32::LastError();
    if (!ok) {
        w32::Remove(tmp.c_str());
        SetLastError(err ? err : ERROR_ACCESS_DENIED);
        NormaliseLastError();
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HANDLE LockFileForUpdate(LPCWSTR path, DWORD timeoutMs)
{
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // The lock is a hidden file beside the one it guards, open with no sharing and gone when
    // closed: one holder at a time across every process, and a holder that dies lets go.
    const std::u16string lock = WinString(path) + u".lock";
    const DWORD realMs = RealMilliseconds(timeoutMs);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
    for (;;) {
        HANDLE h = w32::OpenFile(lock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, w32::kHidden | w32::kDeleteOnClose);
        if (h != INVALID_HANDLE_VALUE) {
            SetLastError(ERROR_SUCCESS);
            return h;
        }
        DWORD e = w32::LastError();
        // Held (sharing), or being deleted by the holder that just let go (access denied).
        if (e != ERROR_SHARING_VIOLATION && e != ERROR_ACCESS_DENIED) {
            NormaliseLastError();
            return INVALID_HANDLE_VALUE;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            SetLastError(ERROR_LOCK_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // a save holds it for milliseconds
    }
}

} // namespace platform

// ---- events and threads ------------------------------------------------------------------

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    return w32::NewEvent(manualReset != FALSE, initialState != FALSE, name);
}

BOOL SetEvent(HANDLE h)
{
    if (!w32::Set(h)) return FALSE;
    platform::NotifyActivity();
    return TRUE;
}

BOOL ResetEvent(HANDLE h) { return w32::Reset(h) ? TRUE : FALSE; }

DWORD WaitForSingleObject(HANDLE h, DWORD ms) { return w32::Wait(h, RealMilliseconds(ms)); }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t, LPTHREAD_START_ROUTINE start, LPVOID arg, DWORD,
                    DWORD* threadId)
{
    if (!start) return nullptr;
    return w32::NewThread(start, arg, threadId);
}

BOOL TerminateThread(HANDLE h, DWORD exitCode)
{
    DWORD id = w32::ThreadIdOf(h);
    if (id == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (id == w32::CurrentThreadId()) return FALSE; // a thread cannot wait for itself
    // Killing a thread would leave its locks and heap in an undefined state; every thread
    // body here checks its stop flag after each bounded step, so waiting for it ends.
    if (w32::Wait(h, 0) != WAIT_OBJECT_0) {
        std::lock_guard<std::mutex> lk(g_termMu);
        g_terminated.emplace(h, exitCode);
    }
    return w32::Wait(h, w32::kInfinite) == WAIT_OBJECT_0 ? TRUE : FALSE;
}

namespace platform {
bool IsSignaled(HANDLE h)
{
    bool signaled = false;
    if (w32::QueryEvent(h, &signaled, nullptr)) return signaled;
    return w32::ThreadIdOf(h) != 0 && w32::Wait(h, 0) == WAIT_OBJECT_0;
}
} // namespace platform

BOOL GetExitCodeThread(HANDLE h, DWORD* exitCode)
{
    if (!exitCode) return FALSE;
    {
        std::lock_guard<std::mutex> lk(g_termMu);
        auto it = g_terminated.find(h);
        if (it != g_terminated.end()) {
            *exitCode = it->second; // from the moment it is terminated, as on any system
            return TRUE;
        }
    }
    return w32::ExitCodeOf(h, exitCode) ? TRUE : FALSE;
}

DWORD GetCurrentThreadId() { return w32::CurrentThreadId(); }

// ---- code pages --------------------------------------------------------------------------------

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLen, LPSTR dst, int dstLen,
                        LPCSTR defaultChar, BOOL* usedDefault)
{
    if (!src) return 0;
    int used = 0;
    int n = w32::ToMultiByte(codePage, flags, src, srcLen, dst, dstLen, defaultChar, usedDefault ? &used : nullptr);
    if (usedDefault && used) *usedDefault = TRUE;
    return n;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLen, LPWSTR dst, int dstLen)
{
    if (!src) return 0;
    return w32::ToWide(codePage, flags, src, srcLen, dst, dstLen);
}
