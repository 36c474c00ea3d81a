// The run log: one line per step of every run, window or command line, appended to
// tarvex.log in the tool directory so a failure can be handed to whoever diagnoses it.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/CString.h"

inline constexpr const char* RUN_LOG_FILE_NAME = "tarvex.log";
// At this size the log becomes tarvex.log.1 (replacing the older one) and a new log starts.
inline constexpr std::uintmax_t RUN_LOG_ROTATE_BYTES = 1024 * 1024;

// "2026-12-08T07:30:12Z" for seconds since 1970 (UTC), without the C library's non-portable
// reentrant calls.
std::string UtcTimeText(long long seconds);

// The native path of the tool's file `name` in the tool directory `dir`. Joined as UTF-8: a
// narrow std::filesystem path is read in the ANSI code page on Windows, and a directory
// outside it (C:\工具\中文) would name another file.
std::string ToolFilePath(const CString& dir, const char* name);

class CRunLog
{
public:
    // dir: the tool directory (Windows-shaped, as GetModuleDir returns it); source names the
    // face in every line ("window", "tarvexctl").
    CRunLog(const CString& dir, std::string source);

    // Appends "<UTC time> <source> <text>". A log that cannot be written (not a regular file,
    // a link, no room) is skipped: it must never stop a run; the first such failure goes to
    // m_fnProblem once. Every line also goes to the mirror, if set (tarvexctl -v).
    void Line(const std::string& text);
    std::function<void(const std::string&)> m_fnMirror;
    std::function<void(const std::string&)> m_fnProblem;
    // The first reason the log could not be written; empty while it could.
    std::string Problem() const { return m_strError; }

    std::string Path() const { return m_path; }

private:
    std::string m_path;
    std::string m_source;
    std::string m_strError;
    std::mutex m_mu;
};
