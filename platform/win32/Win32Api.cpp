// The only platform-core file that sees <windows.h>; see Win32Api.h.
#include <windows.h>
#include <shellapi.h>

#include <atomic>

#include "platform/win32/Win32Api.h"

namespace platform::win32 {
namespace {
LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

// NtQueryEvent reads an event's state without waiting on it; kernel32 has no such call.
struct EventBasicInformation {
    LONG type; // 0 notification (manual reset), 1 synchronization (auto reset)
    LONG state;
};
using NtQueryEventFn = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
NtQueryEventFn QueryEventFn()
{
    static NtQueryEventFn fn = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll ? reinterpret_cast<NtQueryEventFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryEvent")))
                     : nullptr;
    }();
    return fn;
}

struct ThreadStart {
    ThreadBody body;
    void* arg;
};
DWORD WINAPI ThreadTrampoline(LPVOID p)
{
    ThreadStart s = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    return s.body(s.arg);
}
} // namespace

std::uint32_t LastError() { return GetLastError(); }
void SetLastErrorCode(std::uint32_t err) { SetLastError(err); }

Handle OpenFile(const char16_t* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                std::uint32_t flagsAndAttributes)
{
    return CreateFileW(W(path), access, share, nullptr, disposition, flagsAndAttributes, nullptr);
}

bool ReadAll(Handle h, void* buf, std::uint32_t toRead, std::uint32_t* read)
{
    std::uint32_t total = 0;
    auto* p = static_cast<unsigned char*>(buf);
    while (total < toRead) {
        DWORD n = 0;
        if (!ReadFile(h, p + total, toRead - total, &n, nullptr)) {
            *read = total;
            return false;
        }
        if (n == 0) break; // end of file: a short read succeeds
        total += n;
    }
    *read = total;
    return true;
}

bool WriteAll(Handle h, const void* buf, std::uint32_t toWrite, std::uint32_t* written)
{
    std::uint32_t total = 0;
    auto* p = static_cast<const unsigned char*>(buf);
    while (total < toWrite) {
        DWORD n = 0;
        if (!WriteFile(h, p + total, toWrite - total, &n, nullptr)) {
            *written = total;
            return false;
        }
        if (n == 0) { // a disk that takes nothing would loop forever
            *written = total;
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        total += n;
    }
    *written = total;
    return true;
}

std::int64_t FileSize(Handle h)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size)) return -1;
    return size.QuadPart;
}

bool IsDiskFile(Handle h) { return GetFileType(h) == FILE_TYPE_DISK; }

bool Flush(Handle h) { return FlushFileBuffers(h) != FALSE; }
bool Close(Handle h) { return CloseHandle(h) != FALSE; }
std::uint32_t ProcessHandleCount()
{
    DWORD n = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &n) ? n : 0;
}
bool Remove(const char16_t* path) { return DeleteFileW(W(path)) != FALSE; }

bool Rename(const char16_t* from, const char16_t* to, bool replace)
{
    DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    return MoveFileExW(W(from), W(to), flags) != FALSE;
}

bool ReplaceWith(const char16_t* target, const char16_t* replacement)
{
    // ReplaceFileW would keep more, but leaves a file of its own behind when it fails (as
    // under Wine when the target is held); a rename either happens or changes nothing. The
    // target's attributes go to the replacement first; a read-only target stays refused.
    DWORD attrs = GetFileAttributesW(W(target));
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (attrs != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesW(W(replacement), attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED));
    return MoveFileExW(W(replacement), W(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

std::u16string RandomSuffix()
{
    LARGE_INTEGER t{};
    QueryPerformanceCounter(&t);
    unsigned long long v = static_cast<unsigned long long>(t.QuadPart) ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 40) ^
                           (static_cast<unsigned long long>(GetCurrentThreadId()) << 20);
    std::u16string s;
    for (int i = 0; i < 10; ++i, v /= 36) s += static_cast<char16_t>(u"0123456789abcdefghijklmnopqrstuvwxyz"[v % 36]);
    return s;
}

bool Exists(const char16_t* path) { return GetFileAttributesW(W(path)) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectory(const char16_t* path)
{
    DWORD a = GetFileAttributesW(W(path));
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::u16string ModulePath()
{
    std::u16string buf(MAX_PATH, u'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, reinterpret_cast<LPWSTR>(buf.data()), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        if (buf.size() >= 32768) return {}; // longer than any Windows path
        buf.resize(buf.size() * 2);
    }
}

Handle NewEvent(bool manualReset, bool initialState, const char16_t* name)
{
    return CreateEventW(nullptr, manualReset, initialState, name && *name ? W(name) : nullptr);
}
bool Set(Handle h) { return SetEvent(h) != FALSE; }
bool Reset(Handle h) { return ResetEvent(h) != FALSE; }
std::uint32_t Wait(Handle h, std::uint32_t realMs) { return WaitForSingleObject(h, realMs); }

bool QueryEvent(Handle h, bool* signaled, bool* autoReset)
{
    NtQueryEventFn fn = QueryEventFn();
    EventBasicInformation info{};
    if (!fn || fn(h, 0 /* EventBasicInformation */, &info, sizeof info, nullptr) != 0) return false;
    if (signaled) *signaled = info.state != 0;
    if (autoReset) *autoReset = info.type == 1;
    return true;
}

Handle NewThread(ThreadBody body, void* arg, std::uint32_t* threadId)
{
    auto* start = new ThreadStart{body, arg};
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 0, &ThreadTrampoline, start, 0, &id);
    if (!h) {
        delete start;
        id = 0;
    }
    if (threadId) *threadId = id;
    return h;
}

std::uint32_t ThreadIdOf(Handle h) { return GetThreadId(h); }
std::uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

bool ExitCodeOf(Handle h, std::uint32_t* code)
{
    DWORD c = 0;
    if (!GetExitCodeThread(h, &c)) return false;
    *code = c;
    return true;
}

int ToMultiByte(std::uint32_t codePage, std::uint32_t flags, const char16_t* src, int srcLen, char* dst, int dstLen,
                const char* defaultChar, int* usedDefault)
{
    BOOL used = FALSE;
    // CP_UTF8 takes neither a default character nor the flag that reports it.
    bool utf8 = codePage == CP_UTF8;
    int n = WideCharToMultiByte(codePage, flags, W(src), srcLen, dst, dstLen, utf8 ? nullptr : defaultChar,
                                utf8 || !usedDefault ? nullptr : &used);
    if (usedDefault && used) *usedDefault = TRUE;
    return n;
}

int ToWide(std::uint32_t codePage, std::uint32_t flags, const char* src, int srcLen, char16_t* dst, int dstLen)
{
    return MultiByteToWideChar(codePage, flags, src, srcLen, reinterpret_cast<LPWSTR>(dst), dstLen);
}

std::vector<std::string> Utf8Arguments()
{
    std::vector<std::string> out;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return out;
    for (int i = 0; i < argc; ++i) {
        int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string s(n > 0 ? static_cast<std::size_t>(n) : 1u, '\0');
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, s.data(), n, nullptr, nullptr);
        s.resize(std::char_traits<char>::length(s.c_str()));
        out.push_back(std::move(s));
    }
    LocalFree(argv);
    return out;
}

void UseUtf8Console() { SetConsoleOutputCP(CP_UTF8); }

namespace {
std::atomic<bool> g_sequences{false};

bool SequencesOn(DWORD which)
{
    HANDLE h = GetStdHandle(which);
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !h || !GetConsoleMode(h, &mode)) return false; // no console
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    // Consoles before Windows 10 refuse the flag with ERROR_INVALID_PARAMETER.
    return SetConsoleMode(h, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE;
}
} // namespace

bool EnableTerminalSequences()
{
    SequencesOn(STD_ERROR_HANDLE);
    bool on = SequencesOn(STD_OUTPUT_HANDLE);
    g_sequences.store(on);
    return on;
}

bool TerminalSequencesOn() { return g_sequences.load(); }

bool RunningUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace platform::win32
