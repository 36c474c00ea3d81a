// Kernel services the tool calls: files with share modes, events, threads, module path,
// code-page conversion and time. Handles are table entries, so a closed or forged handle is
// refused (ERROR_INVALID_HANDLE) instead of touching freed memory.
#pragma once
#include <functional>
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
// Only regular files open: a FIFO, device or directory is refused (ERROR_ACCESS_DENIED) at
// once, without waiting for a writer or reading from a device.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                   DWORD flags, HANDLE hTemplate);
BOOL ReadFile(HANDLE h, LPVOID buf, DWORD toRead, DWORD* read, OVERLAPPED* ov);
BOOL WriteFile(HANDLE h, LPCVOID buf, DWORD toWrite, DWORD* written, OVERLAPPED* ov);
// Size in bytes of an open file, or -1.
LONGLONG GetFileSizeEx64(HANDLE h);
BOOL CloseHandle(HANDLE h);
// How many handles the process holds open: here the table's entries, on Windows the
// system's count for the whole process; 0 where the system does not tell (Wine 8 does not).
// Lets a test check that an object gives back every handle it took.
DWORD OpenHandleCount();
// Copies with ReplaceFileContents, so a failed copy never leaves a truncated destination.
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
// Native path bytes for a Windows-shaped path, and back, without loss: bytes that are not
// UTF-8 travel as U+DC80..U+DCFF (CString::FromUtf8Escaped) and a backslash inside a native
// name as U+DC5C, so every name on disk can be opened again from its CString.
std::string NativePath(const CString& path);
// Windows-shaped path (backslashes) for a native path.
CString WindowsPath(const std::string& native);

// Writes a file whole or not at all. `write` fills a new temporary file (created exclusively
// beside the file, never through a symlink) with WriteFile; `check`, if given, may read the
// finished temporary by its path. Only when both succeed is the temporary flushed and renamed
// over the file, and the directory flushed. A file that is a symlink is replaced at its
// target and the link stays; an existing file keeps its mode and (where the process may set
// it) its owner; a new file gets the process's umask. On failure the file is unchanged.
BOOL ReplaceFileContents(LPCWSTR path, const std::function<bool(HANDLE hTemp)>& write,
                         const std::function<bool(LPCWSTR tempPath)>& check = {});
// An exclusive lock for one read-change-write of the file at path, held against every other
// process and thread that asks for it, until the handle is closed. Waits up to timeoutMs;
// INVALID_HANDLE_VALUE with ERROR_LOCK_VIOLATION when another holder keeps it longer. The lock
// lies on the directory of the file's target, so it also covers a file about to be created
// and stays valid across the rename that replaces the file.
HANDLE LockFileForUpdate(LPCWSTR path, DWORD timeoutMs);
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
// A flag outside WC_* fails WideCharToMultiByte (ERROR_INVALID_FLAGS), as on Windows.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLen, LPSTR dst, int dstLen,
                        LPCSTR defaultChar, BOOL* usedDefault);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLen, LPWSTR dst, int dstLen);
#ifndef _WIN32
long long _time64(long long* t);
#endif
