#include "upgrade/RecoveryJournal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "upgrade/RunLog.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kFirstLine = "tarvex-journal 1";
// A journal holds a few entries of about 2 KiB; anything far larger is not one.
constexpr LONGLONG kMaxFileSize = 4 * 1024 * 1024;
// Another run holds the lock for one read-change-write, milliseconds; this bound is real
// time whatever the clock scale, so a run is never refused for a colleague's moment.
constexpr double kLockRealMs = 10000;

bool ParseHexNumber(const std::string& s, std::size_t maxDigits, unsigned long long& v)
{
    if (s.empty() || s.size() > maxDigits || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    v = std::stoull(s, nullptr, 16);
    return true;
}

// The seam's error code in words, with the system's own reason where there is one.
std::string Reason(DWORD err, int sysErr)
{
    std::string text;
    switch (err) {
    case ERROR_FILE_NOT_FOUND: text = "no such file or directory"; break;
    case ERROR_ACCESS_DENIED: text = "permission denied, or not a regular file"; break;
    case ERROR_LOCK_VIOLATION: text = "another run held the tool directory's lock for over 10 s"; break;
    case ERROR_FILE_EXISTS: text = "the name is taken"; break;
    case ERROR_NOT_ENOUGH_MEMORY: text = "out of memory"; break;
    default: text = "error " + std::to_string(err); break;
    }
#ifndef _WIN32
    if (sysErr && err != ERROR_LOCK_VIOLATION) text += std::string(" (") + std::strerror(sysErr) + ")";
#else
    (void)sysErr;
#endif
    return text;
}

std::string LastReason()
{
    const int e = errno;
    return Reason(GetLastError(), e);
}

enum class ReadResult { Ok, Missing, Failed };

// Reads a file of at most kMaxFileSize bytes through the platform's files (regular files
// only, never waiting on a FIFO or device).
ReadResult ReadBounded(const std::string& path, std::string& out, std::string& why)
{
    errno = 0;
    HANDLE h = CreateFileW(platform::WindowsPath(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return ReadResult::Missing;
        why = "cannot open: " + LastReason();
        return ReadResult::Failed;
    }
    const LONGLONG size = GetFileSizeEx64(h);
    ReadResult r = ReadResult::Ok;
    if (size < 0 || size > kMaxFileSize) {
        why = "larger than 4 MiB: not a journal";
        r = ReadResult::Failed;
    } else {
        out.resize(static_cast<std::size_t>(size));
        DWORD read = 0;
        errno = 0;
        if (size != 0 && (!ReadFile(h, out.data(), static_cast<DWORD>(size), &read, nullptr) || read != size)) {
            why = "cannot read: " + LastReason();
            r = ReadResult::Failed;
        }
    }
    CloseHandle(h);
    return r;
}

// Splits the text into its first line and the rest; every problem is collected.
bool Examine(const std::string& text, std::vector<JournalEntry>& valid, std::vector<JournalProblem>& problems)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kFirstLine) {
        problems.push_back({1, "the first line is not \"" + std::string(kFirstLine) + "\": not a recovery journal"});
    }
    const bool endsInNewline = !text.empty() && text.back() == '\n';
    for (int n = 2; std::getline(in, line); ++n) {
        if (line.empty()) continue;
        JournalEntry e;
        std::string why;
        if (!CRecoveryJournal::Parse(line, e, &why)) {
            // A line cut short by a crash during an old save has no newline.
            if (in.eof() && !endsInNewline) why += " (the line is cut short)";
            problems.push_back({n, why});
            continue;
        }
        valid.push_back(std::move(e));
    }
    return problems.empty();
}

// Held for one read-change-write; released when it goes out of scope.
class CJournalLock
{
public:
    explicit CJournalLock(const std::string& path)
    {
        const double scale = platform::GetTimeScale();
        const double ms = kLockRealMs / (scale > 0 ? scale : 1.0);
        errno = 0;
        m_h = platform::LockFileForUpdate(platform::WindowsPath(path), static_cast<DWORD>(ms > 4.0e9 ? 4.0e9 : ms));
        if (m_h == INVALID_HANDLE_VALUE) m_why = LastReason();
    }
    ~CJournalLock()
    {
        if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
    }
    CJournalLock(const CJournalLock&) = delete;
    CJournalLock& operator=(const CJournalLock&) = delete;
    bool Held() const { return m_h != INVALID_HANDLE_VALUE; }
    const std::string& Why() const { return m_why; }

private:
    HANDLE m_h = INVALID_HANDLE_VALUE;
    std::string m_why;
};

} // namespace

CRecoveryJournal::CRecoveryJournal(const CString& dir)
{
    if (!dir.IsEmpty()) m_path = ToolFilePath(dir, RECOVERY_JOURNAL_FILE_NAME);
}

bool CRecoveryJournal::Fail(const std::string& what)
{
    m_strError = m_path.empty() ? what : m_path + ": " + what;
    return false;
}

std::string CRecoveryJournal::Format(const JournalEntry& e)
{
    char head[160];
    std::snprintf(head, sizeof head, "device_id=%012llX program_id=%08X version=%u image=%s crc=%04X time=%lld ",
                  static_cast<unsigned long long>(wire::MaskDeviceId(e.deviceId)), static_cast<unsigned>(e.programId),
                  static_cast<unsigned>(e.version), e.imageName.empty() ? "-" : e.imageName.c_str(),
                  static_cast<unsigned>(e.imageCrc), e.time);
    std::string line = head;
    line += "port=" + (e.portPath.empty() ? std::string("-") : e.portPath) + " user_data=";
    if (!e.bHasUserData) return line + "-";
    static const char digits[] = "0123456789ABCDEF";
    for (BYTE b : e.userData) {
        line += digits[b >> 4];
        line += digits[b & 15];
    }
    return line;
}

bool CRecoveryJournal::Parse(const std::string& line, JournalEntry& e, std::string* why)
{
    auto bad = [&](const std::string& text) {
        if (why) *why = text;
        return false;
    };
    JournalEntry r;
    std::istringstream in(line);
    std::string field;
    int seen = 0;
    while (in >> field) {
        const auto eq = field.find('=');
        if (eq == std::string::npos) return bad("'" + field.substr(0, 40) + "' is not KEY=VALUE");
        const std::string key = field.substr(0, eq), value = field.substr(eq + 1);
        unsigned long long v = 0;
        if (key == "device_id") {
            if (!ParseHexNumber(value, 12, v)) return bad("device_id is not up to 12 hexadecimal digits");
            r.deviceId = v;
            seen |= 1;
        } else if (key == "program_id") {
            if (!ParseHexNumber(value, 8, v)) return bad("program_id is not up to 8 hexadecimal digits");
            r.programId = static_cast<DWORD>(v);
        } else if (key == "version") {
            if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(value) > 255)
                return bad("version is not a number from 0 to 255");
            r.version = static_cast<BYTE>(std::stoul(value));
        } else if (key == "image") {
            if (value.size() > 8) return bad("image is longer than 8 characters");
            r.imageName = value == "-" ? "" : value;
        } else if (key == "crc") {
            if (!ParseHexNumber(value, 8, v)) return bad("crc is not hexadecimal");
            r.imageCrc = static_cast<DWORD>(v);
        } else if (key == "time") {
            if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos)
                return bad("time is not a number of seconds");
            r.time = std::stoll(value);
        } else if (key == "port") {
            if (value.empty() || value.size() > 200) return bad("port is empty or too long");
            for (unsigned char c : value)
                if (c <= 0x20 || c >= 0x7F) return bad("port holds a character that is not printable ASCII");
            r.portPath = value == "-" ? "" : value;
        } else if (key == "user_data") {
            if (value == "-") {
                r.bHasUserData = false;
            } else {
                if (value.size() != 2 * JOURNAL_USER_DATA_SIZE ||
                    value.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                    return bad("user_data is not 2048 hexadecimal digits (" + std::to_string(value.size()) + " characters)");
                r.userData.resize(JOURNAL_USER_DATA_SIZE);
                for (DWORD i = 0; i < JOURNAL_USER_DATA_SIZE; ++i)
                    r.userData[i] = static_cast<BYTE>(std::stoul(value.substr(2 * i, 2), nullptr, 16));
                r.bHasUserData = true;
            }
            seen |= 2;
        }
        // Unknown keys are left for later versions of the tool.
    }
    if (!(seen & 1)) return bad("no device_id");
    if (!(seen & 2)) return bad("no user_data");
    e = std::move(r);
    return true;
}

bool CRecoveryJournal::Check(std::vector<JournalEntry>& valid, std::vector<JournalProblem>& problems, std::string& error) const
{
    valid.clear();
    problems.clear();
    if (m_path.empty()) {
        error = "no tool directory";
        return false;
    }
    std::string text, why;
    switch (ReadBounded(m_path, text, why)) {
    case ReadResult::Missing: return true;
    case ReadResult::Failed: error = m_path + ": " + why; return false;
    case ReadResult::Ok: break;
    }
    Examine(text, valid, problems);
    return true;
}

bool CRecoveryJournal::Load(std::vector<JournalEntry>& entries, std::string& error) const
{
    std::vector<JournalProblem> problems; // Check empties both lists first
    if (!Check(entries, problems, error)) return false;
    if (!problems.empty()) {
        entries.clear();
        error = m_path + ": line " + std::to_string(problems[0].line) + ": " + problems[0].reason;
        if (problems.size() > 1) error += " (and " + std::to_string(problems.size() - 1) + " more)";
        return false;
    }
    return true;
}

bool CRecoveryJournal::Save(const std::vector<JournalEntry>& entries)
{
    if (m_path.empty()) return Fail("no tool directory");
    if (entries.empty()) {
        errno = 0;
        if (!DeleteFileW(platform::WindowsPath(m_path)) && GetLastError() != ERROR_FILE_NOT_FOUND)
            return Fail("cannot remove the emptied journal: " + LastReason());
        return true;
    }
    std::string text = std::string(kFirstLine) + "\n";
    for (const auto& e : entries) text += Format(e) + "\n";
    std::string step = "write";
    errno = 0;
    const BOOL ok = platform::ReplaceFileContents(
        platform::WindowsPath(m_path),
        [&](HANDLE h) {
            DWORD written = 0;
            return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
        },
        [&](LPCWSTR tmp) {
            std::string back, why;
            step = "check";
            return ReadBounded(platform::NativePath(CString(tmp)), back, why) == ReadResult::Ok && back == text;
        });
    if (!ok) return Fail(step == "check" ? "the saved copy did not read back the same; the journal is unchanged"
                                         : "cannot save: " + LastReason() + "; the journal is unchanged");
    return true;
}

bool CRecoveryJournal::Add(const JournalEntry& entry)
{
    m_strError.clear();
    if (m_path.empty()) return Fail("no tool directory");
    CJournalLock lock(m_path);
    if (!lock.Held()) return Fail("cannot lock the tool directory: " + lock.Why());
    std::vector<JournalEntry> entries;
    std::string error;
    // A journal that cannot be read is not overwritten: its entries may be the only copy of
    // another mouse's identity.
    if (!Load(entries, error)) {
        m_strError = error + "; see tarvexctl journal --check";
        return false;
    }
    std::erase_if(entries, [&](const JournalEntry& e) { return e.deviceId == entry.deviceId; });
    entries.push_back(entry);
    return Save(entries);
}

bool CRecoveryJournal::Remove(ULONGLONG deviceId, bool* found)
{
    m_strError.clear();
    if (found) *found = false;
    if (m_path.empty()) return Fail("no tool directory");
    CJournalLock lock(m_path);
    if (!lock.Held()) return Fail("cannot lock the tool directory: " + lock.Why());
    std::vector<JournalEntry> entries;
    std::string error;
    if (!Load(entries, error)) {
        m_strError = error + "; see tarvexctl journal --check";
        return false;
    }
    const auto before = entries.size();
    std::erase_if(entries, [&](const JournalEntry& e) { return e.deviceId == deviceId; });
    if (entries.size() == before) return true;
    if (found) *found = true;
    return Save(entries);
}

bool CRecoveryJournal::Repair(std::string& movedTo, std::size_t& kept)
{
    m_strError.clear();
    movedTo.clear();
    kept = 0;
    if (m_path.empty()) return Fail("no tool directory");
    CJournalLock lock(m_path);
    if (!lock.Held()) return Fail("cannot lock the tool directory: " + lock.Why());
    std::vector<JournalEntry> valid;
    std::vector<JournalProblem> problems;
    std::string error;
    if (!Check(valid, problems, error)) {
        m_strError = error;
        return false;
    }
    kept = valid.size();
    if (problems.empty()) return true;
    // The damaged file stays, under a name of its own: it may hold what a person can still
    // read out of a cut line.
    std::string stamp = UtcTimeText(static_cast<long long>(std::time(nullptr)));
    for (char& c : stamp)
        if (c == ':') c = '-';
    std::string aside = m_path + ".bad-" + stamp;
    for (int n = 2; fs::exists(fs::symlink_status(aside)) && n < 1000; ++n) aside = m_path + ".bad-" + stamp + "." + std::to_string(n);
    errno = 0;
    if (!MoveFileExW(platform::WindowsPath(m_path), platform::WindowsPath(aside), 0))
        return Fail("cannot move the damaged journal aside to " + aside + ": " + LastReason());
    movedTo = aside;
    if (!Save(valid)) {
        // The entries are all in the file moved aside; say where.
        m_strError += "; the damaged journal is kept as " + aside;
        return false;
    }
    return true;
}
