#include "encfile/ToolDir.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "encfile/SystemConfig.h"
#include "platform/Kernel.h"

namespace fs = std::filesystem;

namespace tarvex {
namespace {

std::mutex g_mu;
ToolDirSettings g_settings;
std::atomic<bool> g_reported{false};

// On Windows both '\' and '/' separate path components ("C:\Tools\tarvex.exe"); on Linux
// a backslash is an ordinary character of a file name.
bool IsSeparator(char c)
{
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

// "/home/u" on Linux; "C:\Users\u" (or with '/') on Windows, where "\x" lacks a drive.
bool IsAbsolute(const std::string& p)
{
#ifdef _WIN32
    return p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' && IsSeparator(p[2]);
#else
    return !p.empty() && p[0] == '/';
#endif
}

// Two spellings of one directory compare equal; a directory that does not exist is
// compared by its normalised spelling.
fs::path Canonical(const fs::path& p)
{
    std::error_code ec;
    fs::path c = fs::weakly_canonical(p, ec);
    if (ec) c = p.lexically_normal();
    // "/usr/bin/" and "/usr/bin" are the same directory (and "C:\Tools\" and "C:\Tools").
    std::string s = c.string();
    while (s.size() > 1 && IsSeparator(s.back()) && !(s.size() == 3 && s[1] == ':')) s.pop_back();
    return fs::path(s);
}

std::string HomeFromPasswd()
{
#ifdef _WIN32
    return {};
#else
    std::vector<char> buf(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found || !found->pw_dir) return {};
    return found->pw_dir;
#endif
}

// The directory with a separator at its end: the kind it already uses ("C:\x" gets '\').
std::string WithSlash(std::string dir)
{
    if (!dir.empty() && IsSeparator(dir.back())) return dir;
    dir += dir.find('\\') != std::string::npos && IsSeparator('\\') ? '\\' : '/';
    return dir;
}

std::string ExecutablePath()
{
    std::vector<WCHAR> buf(4096);
    DWORD n = 0;
    for (;;) {
        n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n + 1 < buf.size() || buf.size() >= (1u << 20)) break;
        buf.resize(buf.size() * 2);
    }
    return platform::NativePath(CString(buf.data(), static_cast<int>(n)));
}

bool CopyWhole(const fs::path& from, const fs::path& to)
{
    // Through a temporary name, so a reader never meets half a file.
    fs::path tmp = to;
    tmp += ".seed~";
    std::error_code ec;
    fs::copy_file(from, tmp, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::permissions(tmp, fs::perms::owner_read | fs::perms::owner_write, ec);
    if (!ec) fs::rename(tmp, to, ec);
    if (ec) {
        fs::remove(tmp, ec);
        return false;
    }
    return true;
}

// A file name the loader would look for in the directory itself.
bool IsPlainName(const CString& name)
{
    if (name.IsEmpty() || name == CString(u".") || name == CString(u"..")) return false;
    for (int i = 0; i < name.GetLength(); ++i)
        if (name[i] == u'\\' || name[i] == u'/') return false;
    return true;
}

} // namespace

void SetToolDirSettings(const ToolDirSettings& settings)
{
    std::lock_guard<std::mutex> lk(g_mu);
    g_settings = settings;
    g_reported = false;
}

ToolDirSettings GetToolDirSettings()
{
    std::lock_guard<std::mutex> lk(g_mu);
    return g_settings;
}

ToolDirChoice ChooseToolDir(const std::string& exePath, const std::string& installedBinDir, const char* xdgDataHome,
                            const char* home)
{
    ToolDirChoice c;
    std::size_t slash = exePath.size();
    while (slash > 0 && !IsSeparator(exePath[slash - 1])) --slash;
    const std::string exeDir = exePath.substr(0, slash);
    c.dir = exeDir;
    if (installedBinDir.empty() || exeDir.empty() || Canonical(exeDir) != Canonical(installedBinDir)) return c;

    c.kind = ToolDirKind::Installed;
    if (xdgDataHome && IsAbsolute(xdgDataHome)) {
        c.dir = WithSlash(WithSlash(xdgDataHome) + "tarvex");
        return c;
    }
    std::string h = home && IsAbsolute(home) ? std::string(home) : HomeFromPasswd();
    if (!IsAbsolute(h)) {
        // Still an absolute path, so nothing lands in the current directory; the system's
        // conventional home for accounts without one, which no such user can create.
        c.dir = "/nonexistent/tarvex/";
        c.error = "no home directory for the per-user tool directory (set HOME or XDG_DATA_HOME)";
        return c;
    }
    c.dir = WithSlash(WithSlash(WithSlash(WithSlash(h) + ".local") + "share") + "tarvex");
    return c;
}

bool MakeToolDir(const std::string& dir, std::string* error)
{
    // Each missing level is made by hand with 0700: the directory holds the access password.
    std::size_t pos = 0;
    while (pos <= dir.size()) {
        std::size_t next = pos;
        while (next < dir.size() && !IsSeparator(dir[next])) ++next;
        const std::string path = dir.substr(0, next);
        pos = next + 1;
        // "" before a leading '/', and a bare drive ("C:"), are no directories to make.
        if (path.empty() || (path.size() == 2 && path[1] == ':')) continue;
        std::error_code ec;
        const fs::file_status st = fs::status(path, ec);
        if (fs::exists(st)) {
            if (!fs::is_directory(st)) {
                if (error) *error = path + " is not a directory";
                return false;
            }
            continue;
        }
#ifdef _WIN32
        if (!fs::create_directory(path, ec) && ec) {
            if (error) *error = "cannot create " + path + ": " + ec.message();
            return false;
        }
#else
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
            return false;
        }
#endif
    }
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        if (error) *error = "cannot create " + dir;
        return false;
    }
    return true;
}

bool SeedToolDir(const std::string& dir, const std::string& systemDir)
{
    if (systemDir.empty() || dir.empty()) return false;
    const fs::path target(dir), source(systemDir);
    std::error_code ec;
    if (fs::exists(target / "Tarvex.cfg", ec) || ec) return false;
    if (Canonical(target) == Canonical(source)) return false;

    SYSTEM_CONFIG config{};
    const CString sourceCfg = platform::WindowsPath((source / "Tarvex.cfg").string());
    if (!LoadSystemConfig(sourceCfg, &config)) return false; // an unreadable default is no default

    // The name field need not be terminated in a file someone else wrote.
    int len = 0;
    while (len < static_cast<int>(CONFIG_TEXT_UNITS) && config.szAppFile[len]) ++len;
    const CString image(config.szAppFile, len < static_cast<int>(CONFIG_TEXT_UNITS) ? len : 0);
    if (IsPlainName(image)) {
        const fs::path name(platform::NativePath(image));
        if (!fs::exists(target / name, ec) && fs::exists(source / name, ec) && !CopyWhole(source / name, target / name))
            return false;
    }
    return CopyWhole(source / "Tarvex.cfg", target / "Tarvex.cfg");
}

std::string ForeignOwner(const std::string& dir)
{
#ifdef _WIN32
    (void)dir;
    return {};
#else
    // The directory itself, or the nearest part of it that exists, decides: root running with
    // a user's XDG_DATA_HOME must not create root-owned files in that user's tree, and no one
    // fills another user's directory. A root-owned parent (/tmp, a shared mount) is no one's.
    const uid_t me = geteuid();
    fs::path p = fs::path(dir).lexically_normal();
    std::string s = p.string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    p = s;
    for (; !p.empty(); p = p.parent_path()) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) == 0) {
            if (st.st_uid == me) return {};
            if (st.st_uid == 0 && p.string() != s) return {};
            return p.string() + " belongs to user " + std::to_string(st.st_uid) + ", not to this user (" + std::to_string(me) +
                   "): the tool directory " + dir + " is refused; run as that user, or set XDG_DATA_HOME to a directory of your own";
        }
        if (p == p.parent_path()) break;
    }
    return {};
#endif
}

ToolDirChoice CurrentToolDir(bool prepare)
{
    const ToolDirSettings s = GetToolDirSettings();
    ToolDirChoice c = ChooseToolDir(ExecutablePath(), s.installedBinDir, std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
    if (c.kind == ToolDirKind::Installed && c.error.empty()) c.error = ForeignOwner(c.dir);
    if (!prepare || c.kind != ToolDirKind::Installed) return c;
    std::string error = c.error;
    if (error.empty() && MakeToolDir(c.dir, &error)) {
        SeedToolDir(c.dir, s.systemDir);
        return c;
    }
    if (!g_reported.exchange(true)) std::fprintf(stderr, "tarvex: %s\n", error.c_str());
    return c;
}

} // namespace tarvex
