// Kernel services the tool calls: files with share modes, events, threads, module path,
// code-page conversion and time. Handles are table entries, so a closed or forged handle is
// refused (ERROR_INVALID_HANDLE) instead of touching freed memory.
#pragma once
#include <string>

#include "platform/CString.h"
#include "platform/WinTypes.h"

DWORD GetLastError();
void SetLastError(DWORD err);

// ---- files -------------------------------------------------------------------------------
// Paths are Windows-shaped: a backslash is a separator as well as '/', so the code above can
// build paths the way it always has. Share modes are enforced among the handles of this
// process: an open is refused with ERROR_SHARING_VIOLATION when it asks for an access that an
// open handle does not share, or denies an access that an open handle already holds. That is
// what makes a file we hold with no sharing refuse our own second open. Other processes are
// not seen (Linux has no mandatory share modes).
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                   DWORD flags, HANDLE hTemplate);
BOOL ReadFile(HANDLE h, LPVOID buf, DWORD toRead, DWORD* read, OVERLAPPED* ov);
BOOL WriteFile(HANDLE h, LPCVOID buf, DWORD toWrite, DWORD* written, OVERLAPPED* ov);
// Size in bytes of an open file, or -1.
LONGLONG GetFileSizeEx64(HANDLE h);
BOOL CloseHandle(HANDLE h);
// Copies through a temporary file beside the destination that is renamed over it only when
// the whole copy is written, so a failed copy never leaves a truncated destination.
BOOL CopyFileW(LPCWSTR existing, LPCWSTR newFile, BOOL failIfExists);
BOOL DeleteFileW(LPCWSTR path);
inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR newFile, DWORD flags);
// Flushes an open file to the storage device.
BOOL FlushFileBuffers(HANDLE h);

// The running executable's path with backslashes as separators. Returns the number of units
// copied (without the terminator); a buffer too small gets a truncated, terminated text.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR buf, DWORD size);

namespace platform {
// UTF-8 native path for a Windows-shaped path.
std::string NativePath(const CString& path);
// Windows-shaped path (backslashes) for a native path.
CString WindowsPath(const std::string& native);
// Tests and the demo run the code as if the executable lay elsewhere (an empty path restores
// the real one). The product never calls this.
void OverrideModuleFileName(const std::string& nativePath);
} // namespace platform

// ---- events and threads ------------------------------------------------------------------
// A named event is one object for every handle opened on that name within this process.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE h);
BOOL ResetEvent(HANDLE h);
// Waits on an event or a thread. Time-outs run on the scaled clock.
DWORD WaitForSingleObject(HANDLE h, DWORD ms);

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, std::size_t stack, LPTHREAD_START_ROUTINE start, LPVOID arg,
                    DWORD flags, DWORD* threadId);
#ifdef _WIN32
// The C runtime declares _beginthreadex and _time64 itself; its thread handles are the same
// kernel handles the rest of this seam takes there.
#include <process.h>
#include <time.h>
#else
std::uintptr_t _beginthreadex(void* security, unsigned stack, unsigned (*start)(void*), void* arg,
                              unsigned flags, unsigned* threadId);
#endif
// A thread cannot be killed from outside on Linux without leaving its locks and heap in an
// undefined state. TerminateThread therefore records the exit code and then waits for the
// thread to return on its own; every thread body in this tool checks its stop flag after each
// bounded step, so the wait ends. The exit code reported afterwards is the one given here.
BOOL TerminateThread(HANDLE h, DWORD exitCode);
namespace platform {
// True when the event is signalled (without consuming it) or the thread has ended.
bool IsSignaled(HANDLE h);
} // namespace platform
BOOL GetExitCodeThread(HANDLE h, DWORD* exitCode);
inline constexpr DWORD STILL_ACTIVE = 259;
DWORD GetCurrentThreadId();

// ---- code pages and time -------------------------------------------------------------------
// CP_UTF8, and CP_ACP taken as Latin-1 (units above 0xFF become the default character, '?').
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLen, LPSTR dst, int dstLen,
                        LPCSTR defaultChar, BOOL* usedDefault);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLen, LPWSTR dst, int dstLen);
#ifndef _WIN32
long long _time64(long long* t);
#endif
