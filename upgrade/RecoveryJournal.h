// The recovery journal: before a run switches a mouse into its bootloader it records the
// mouse's identity (device ID, the user data it carries over, program ID and version, the
// image's name and CRC, the time) in tarvex.journal in the tool directory. A verified write
// removes the entry again, so a pending entry means a mouse may sit in its bootloader with an
// empty or half-written flash, and `tarvexctl recover` can give it back its own identity.
//
// The file is text, one entry per line after the line "tarvex-journal 1":
//   device_id=5EED1234ABCD program_id=00015A3C version=1 image=demo crc=1A2B time=1765180000 user_data=<2048 hex digits or ->
// Every save replaces the whole file through a temporary file beside it.
#pragma once
#include <string>
#include <vector>

#include "platform/CString.h"
#include "platform/WinTypes.h"

inline constexpr const char* RECOVERY_JOURNAL_FILE_NAME = "tarvex.journal";
inline constexpr DWORD JOURNAL_USER_DATA_SIZE = 1024;

struct JournalEntry {
    ULONGLONG deviceId = 0; // 48 bits
    bool bHasUserData = false;
    std::vector<BYTE> userData; // JOURNAL_USER_DATA_SIZE bytes when bHasUserData
    DWORD programId = 0;
    BYTE version = 0;
    std::string imageName; // the image header's name, printable ASCII
    DWORD imageCrc = 0;
    long long time = 0; // seconds since 1970, UTC
};

class CRecoveryJournal
{
public:
    // dir: the tool directory (Windows-shaped, as GetToolDir returns it).
    explicit CRecoveryJournal(const CString& dir);

    // The pending entries; a missing file is an empty journal. False with a reason for a
    // file that cannot be read or is not a journal (nothing is guessed from it).
    bool Load(std::vector<JournalEntry>& entries, std::string& error) const;
    // Adds the entry, replacing one with the same device ID. False if the file could not be
    // written completely; the previous file then stays as it was.
    bool Add(const JournalEntry& entry);
    // Removes the entry of that device ID (true also when there was none).
    bool Remove(ULONGLONG deviceId);

    std::string Path() const { return m_path; }

    // One line of the file, and its parse; exposed for tests.
    static std::string Format(const JournalEntry& e);
    static bool Parse(const std::string& line, JournalEntry& e);

private:
    bool Save(const std::vector<JournalEntry>& entries);
    std::string m_path;
};
