// The recovery journal: before a run switches a mouse into its bootloader it records the
// mouse's identity (device ID, the user data it carries over, program ID and version, the
// image's name and CRC, its USB port, the time) in tarvex.journal in the tool directory. A
// verified write removes the entry again, so a pending entry means a mouse may sit in its
// bootloader with an empty or half-written flash, and `tarvexctl recover` can give it back
// its own identity.
//
// The file is text, one entry per line after the line "tarvex-journal 1":
//   device_id=5EED1234ABCD program_id=00015A3C version=1 image=demo crc=1A2B time=1765180000 port=1-2.3 user_data=<2048 hex digits or ->
// Unknown keys are skipped, so an older tool still reads a newer entry. The journal guards
// the only other copy of an identity, so it is kept as the configuration is: every change is
// a read-change-write under the tool directory's lock, saved whole through a new temporary
// file of its own (never through a link), flushed, read back and renamed over the old one.
#pragma once
#include <string>
#include <vector>

#include "device/Wire.h"
#include "platform/CString.h"
#include "platform/WinTypes.h"

inline constexpr const char* RECOVERY_JOURNAL_FILE_NAME = "tarvex.journal";
// The user data as they sit in the image (blocks 5..8).
inline constexpr DWORD JOURNAL_USER_DATA_SIZE = wire::image::kUserDataSize;

struct JournalEntry {
    ULONGLONG deviceId = 0; // 48 bits, written masked (wire::MaskDeviceId)
    bool bHasUserData = false;
    std::vector<BYTE> userData; // JOURNAL_USER_DATA_SIZE bytes when bHasUserData
    DWORD programId = 0;
    BYTE version = 0;
    std::string imageName; // the image header's name, printable ASCII
    DWORD imageCrc = 0;
    long long time = 0;    // seconds since 1970, UTC
    std::string portPath;  // the mouse's USB port; empty when unknown
};

// A line of the file that is not an entry, and why.
struct JournalProblem {
    int line = 0; // 1 is the first line of the file
    std::string reason;
};

class CRecoveryJournal
{
public:
    // dir: the tool directory (Windows-shaped, as GetModuleDir returns it).
    explicit CRecoveryJournal(const CString& dir);

    // The pending entries; a missing file is an empty journal. False with a reason for a
    // file that cannot be read or holds anything but entries (nothing is guessed from it).
    bool Load(std::vector<JournalEntry>& entries, std::string& error) const;
    // Every valid entry and every damaged line. False only when the file cannot be read at
    // all (error says why); a missing file is an empty journal.
    bool Check(std::vector<JournalEntry>& valid, std::vector<JournalProblem>& problems, std::string& error) const;
    // Adds the entry, replacing one with the same device ID. False if the journal cannot be
    // read (its entries may be another mouse's only copy, so it is never overwritten) or the
    // new file could not be written completely; the previous file then stays as it was.
    bool Add(const JournalEntry& entry);
    // Removes the entry of that device ID (true also when there was none; *found tells).
    bool Remove(ULONGLONG deviceId, bool* found = nullptr);
    // Keeps every valid entry in a new journal and moves the damaged file aside to
    // tarvex.journal.bad-<UTC time>; nothing is deleted. movedTo is empty when the journal
    // was sound (then nothing changes).
    bool Repair(std::string& movedTo, std::size_t& kept);

    std::string Path() const { return m_path; }
    // Why the last Add, Remove or Repair failed: the file, the step and the system's reason.
    std::string LastError() const { return m_strError; }

    // One line of the file, and its parse; exposed for tests. why says what is wrong.
    static std::string Format(const JournalEntry& e);
    static bool Parse(const std::string& line, JournalEntry& e, std::string* why = nullptr);

private:
    bool Save(const std::vector<JournalEntry>& entries);
    bool Fail(const std::string& what);
    std::string m_path;
    std::string m_strError;
};
