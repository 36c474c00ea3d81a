#include "upgrade/RecoveryJournal.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "platform/Kernel.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kFirstLine = "tarvex-journal 1";
// A journal holds a few entries of about 2 KiB; anything far larger is not one.
constexpr LONGLONG kMaxFileSize = 4 * 1024 * 1024;

bool ParseHexNumber(const std::string& s, std::size_t maxDigits, unsigned long long& v)
{
    if (s.empty() || s.size() > maxDigits || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    v = std::stoull(s, nullptr, 16);
    return true;
}

// Reads a file of at most kMaxFileSize bytes through the platform's files.
bool ReadBounded(const std::string& path, std::string& out, bool& missing)
{
    missing = false;
    HANDLE h = CreateFileW(platform::WindowsPath(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        missing = GetLastError() == ERROR_FILE_NOT_FOUND;
        return false;
    }
    const LONGLONG size = GetFileSizeEx64(h);
    bool ok = size >= 0 && size <= kMaxFileSize;
    if (ok) {
        out.resize(static_cast<std::size_t>(size));
        DWORD read = 0;
        ok = size == 0 || (ReadFile(h, out.data(), static_cast<DWORD>(size), &read, nullptr) && read == size);
    }
    CloseHandle(h);
    return ok;
}

// The whole file through a temporary file beside it, flushed, read back and renamed over the
// old one only when complete, as the configuration is saved.
bool WriteReplacing(const std::string& path, const std::string& text)
{
    const CString target = platform::WindowsPath(path);
    const CString tmp = target + u".save~";
    HANDLE h = CreateFileW(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size() &&
              FlushFileBuffers(h);
    CloseHandle(h);
    if (ok) {
        std::string back;
        bool missing = false;
        ok = ReadBounded(platform::NativePath(tmp), back, missing) && back == text;
    }
    if (ok) ok = MoveFileExW(tmp, target, MOVEFILE_REPLACE_EXISTING) != FALSE;
    if (!ok) DeleteFileW(tmp);
    return ok;
}

} // namespace

CRecoveryJournal::CRecoveryJournal(const CString& dir)
{
    if (!dir.IsEmpty()) m_path = (fs::path(platform::NativePath(dir)) / RECOVERY_JOURNAL_FILE_NAME).string();
}

std::string CRecoveryJournal::Format(const JournalEntry& e)
{
    char head[160];
    std::snprintf(head, sizeof head, "device_id=%012llX program_id=%08X version=%u image=%s crc=%04X time=%lld user_data=",
                  static_cast<unsigned long long>(e.deviceId & 0xFFFFFFFFFFFFull), static_cast<unsigned>(e.programId),
                  static_cast<unsigned>(e.version), e.imageName.empty() ? "-" : e.imageName.c_str(),
                  static_cast<unsigned>(e.imageCrc), e.time);
    std::string line = head;
    if (!e.bHasUserData) return line + "-";
    static const char digits[] = "0123456789ABCDEF";
    for (BYTE b : e.userData) {
        line += digits[b >> 4];
        line += digits[b & 15];
    }
    return line;
}

bool CRecoveryJournal::Parse(const std::string& line, JournalEntry& e)
{
    JournalEntry r;
    std::istringstream in(line);
    std::string field;
    int seen = 0;
    while (in >> field) {
        const auto eq = field.find('=');
        if (eq == std::string::npos) return false;
        const std::string key = field.substr(0, eq), value = field.substr(eq + 1);
        unsigned long long v = 0;
        if (key == "device_id") {
            if (!ParseHexNumber(value, 12, v)) return false;
            r.deviceId = v;
            seen |= 1;
        } else if (key == "program_id") {
            if (!ParseHexNumber(value, 8, v)) return false;
            r.programId = static_cast<DWORD>(v);
        } else if (key == "version") {
            if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(value) > 255)
                return false;
            r.version = static_cast<BYTE>(std::stoul(value));
        } else if (key == "image") {
            if (value.size() > 8) return false;
            r.imageName = value == "-" ? "" : value;
        } else if (key == "crc") {
            if (!ParseHexNumber(value, 8, v)) return false;
            r.imageCrc = static_cast<DWORD>(v);
        } else if (key == "time") {
            if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos) return false;
            r.time = std::stoll(value);
        } else if (key == "user_data") {
            if (value == "-") {
                r.bHasUserData = false;
            } else {
                if (value.size() != 2 * JOURNAL_USER_DATA_SIZE ||
                    value.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                    return false;
                r.userData.resize(JOURNAL_USER_DATA_SIZE);
                for (DWORD i = 0; i < JOURNAL_USER_DATA_SIZE; ++i)
                    r.userData[i] = static_cast<BYTE>(std::stoul(value.substr(2 * i, 2), nullptr, 16));
                r.bHasUserData = true;
            }
            seen |= 2;
        }
        // Unknown keys are left for later versions of the tool.
    }
    if (seen != 3) return false;
    e = std::move(r);
    return true;
}

bool CRecoveryJournal::Load(std::vector<JournalEntry>& entries, std::string& error) const
{
    entries.clear();
    if (m_path.empty()) {
        error = "no tool directory";
        return false;
    }
    std::string text;
    bool missing = false;
    if (!ReadBounded(m_path, text, missing)) {
        if (missing) return true;
        error = m_path + ": cannot read (or larger than 4 MiB)";
        return false;
    }
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kFirstLine) {
        error = m_path + ": not a recovery journal";
        return false;
    }
    for (int n = 2; std::getline(in, line); ++n) {
        if (line.empty()) continue;
        JournalEntry e;
        if (!Parse(line, e)) {
            error = m_path + ": line " + std::to_string(n) + " is not a journal entry";
            entries.clear();
            return false;
        }
        entries.push_back(std::move(e));
    }
    return true;
}

bool CRecoveryJournal::Save(const std::vector<JournalEntry>& entries)
{
    if (m_path.empty()) return false;
    if (entries.empty()) {
        std::error_code ec;
        fs::remove(m_path, ec);
        return !ec;
    }
    std::string text = std::string(kFirstLine) + "\n";
    for (const auto& e : entries) text += Format(e) + "\n";
    return WriteReplacing(m_path, text);
}

bool CRecoveryJournal::Add(const JournalEntry& entry)
{
    std::vector<JournalEntry> entries;
    std::string error;
    // A journal that cannot be read is not overwritten: its entries may be the only copy of
    // another mouse's identity.
    if (!Load(entries, error)) return false;
    std::erase_if(entries, [&](const JournalEntry& e) { return e.deviceId == entry.deviceId; });
    entries.push_back(entry);
    return Save(entries);
}

bool CRecoveryJournal::Remove(ULONGLONG deviceId)
{
    std::vector<JournalEntry> entries;
    std::string error;
    if (!Load(entries, error)) return false;
    const auto before = entries.size();
    std::erase_if(entries, [&](const JournalEntry& e) { return e.deviceId == deviceId; });
    if (entries.size() == before) return true;
    return Save(entries);
}
