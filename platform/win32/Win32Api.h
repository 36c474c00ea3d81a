// The few kernel32 calls the Windows build of the platform core needs, behind names and types
// of our own. Our headers spell the Windows types themselves (WCHAR is char16_t), so no file
// can include both them and <windows.h>: Win32Api.cpp is the one that includes <windows.h>,
// and the seam's Windows implementation calls through here. Handles are the real kernel
// handles, so the message loop and overlapped I/O can wait on them directly.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform::win32 {

using Handle = void*;

std::uint32_t LastError();
void SetLastErrorCode(std::uint32_t err);

// ---- files (arguments have the values of CreateFileW's) ----
Handle OpenFile(const char16_t* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                std::uint32_t flagsAndAttributes);
bool ReadAll(Handle h, void* buf, std::uint32_t toRead, std::uint32_t* read);
bool WriteAll(Handle h, const void* buf, std::uint32_t toWrite, std::uint32_t* written);
std::int64_t FileSize(Handle h);
// True for a file on a disk, false for a console, pipe, serial port or other device.
bool IsDiskFile(Handle h);
bool Flush(Handle h);
bool Close(Handle h);
// GetProcessHandleCount of this process; 0 when the system does not tell.
std::uint32_t ProcessHandleCount();
bool Remove(const char16_t* path);
// Replaces the destination only when asked; the rename reaches the disk before it returns.
bool Rename(const char16_t* from, const char16_t* to, bool replace);
// Puts `replacement` in the place of the existing `target` (taking over its attributes); the
// replacement's name is gone afterwards. A read-only target is refused.
bool ReplaceWith(const char16_t* target, const char16_t* replacement);
bool Exists(const char16_t* path);
bool IsDirectory(const char16_t* path);
inline constexpr std::uint32_t kDeleteOnClose = 0x04000000;
inline constexpr std::uint32_t kHidden = 0x2;
// A short random text for names of temporary files.
std::u16string RandomSuffix();
// The executable's full path (any length).
std::u16string ModulePath();

// ---- events, waits, threads ----
Handle NewEvent(bool manualReset, bool initialState, const char16_t* name);
bool Set(Handle h);
bool Reset(Handle h);
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
// WaitForSingleObject with real milliseconds.
std::uint32_t Wait(Handle h, std::uint32_t realMs);
// An event's state without consuming an auto-reset event. False when h is no event.
bool QueryEvent(Handle h, bool* signaled, bool* autoReset);
using ThreadBody = std::uint32_t (*)(void*);
Handle NewThread(ThreadBody body, void* arg, std::uint32_t* threadId);
std::uint32_t ThreadIdOf(Handle h); // 0 when h is no thread
std::uint32_t CurrentThreadId();
bool ExitCodeOf(Handle h, std::uint32_t* code);

// ---- code pages ----
int ToMultiByte(std::uint32_t codePage, std::uint32_t flags, const char16_t* src, int srcLen, char* dst, int dstLen,
                const char* defaultChar, int* usedDefault);
int ToWide(std::uint32_t codePage, std::uint32_t flags, const char* src, int srcLen, char16_t* dst, int dstLen);

// The command line as UTF-8 arguments (argv[] of main is in the ANSI code page, which loses
// every character outside it).
std::vector<std::string> Utf8Arguments();
// Text written to a console is read as UTF-8.
void UseUtf8Console();
// Asks the consoles behind stdout and stderr to interpret terminal sequences ("\r\033[K").
// True when stdout is such a console afterwards; false for a file, a pipe, or a console that
// refuses (before Windows 10), where a program should write plain lines instead. The answer
// is kept: TerminalSequencesOn() gives it again.
bool EnableTerminalSequences();
bool TerminalSequencesOn();

// True under Wine, whose world (no USB host controllers, its own virtual HID devices) some
// tests describe.
bool RunningUnderWine();

} // namespace platform::win32
