// The tool's settings: one SYSTEM_CONFIG record in the encoded file Tarvex.cfg next to the
// executable.
#pragma once
#include <cstddef>

#include "encfile/EncFile.h"
#include "platform/CString.h"
#include "platform/WinTypes.h"

inline constexpr const WCHAR* SYSTEM_CONFIG_FILE_NAME = u"Tarvex.cfg";
inline constexpr std::size_t CONFIG_TEXT_UNITS = 260;

// In memory a plain record; on disk through ConfigToBytes/ConfigFromBytes (little-endian).
struct SYSTEM_CONFIG {
    WCHAR szAppFile[CONFIG_TEXT_UNITS]; // image file name, no directory; empty: no image
    char szAppName[8];                  // image header's szName when the image was chosen
    DWORD dwAppCrc;                     // image header's dwDataCrc when the image was chosen
    WORD wProgramID;                    // the device must report this program ID
    WORD wProgramVer;                   // high byte major, low byte minor
    BOOL bAutoUpgrade;
    BOOL bAutoReset;
    BOOL bVersionCheck;
    BOOL bSaveUserData;
    WCHAR szTitle[CONFIG_TEXT_UNITS];    // main window title; empty: the built-in one
    WCHAR szPassword[CONFIG_TEXT_UNITS]; // access password of the configuration entry
};
static_assert(sizeof(SYSTEM_CONFIG) == CONFIG_DATA_SIZE);
static_assert(offsetof(SYSTEM_CONFIG, szAppName) == 520);
static_assert(offsetof(SYSTEM_CONFIG, dwAppCrc) == 528);
static_assert(offsetof(SYSTEM_CONFIG, wProgramID) == 532);
static_assert(offsetof(SYSTEM_CONFIG, wProgramVer) == 534);
static_assert(offsetof(SYSTEM_CONFIG, bAutoUpgrade) == 536);
static_assert(offsetof(SYSTEM_CONFIG, bSaveUserData) == 548);
static_assert(offsetof(SYSTEM_CONFIG, szTitle) == 552);
static_assert(offsetof(SYSTEM_CONFIG, szPassword) == 1072);

void ConfigToBytes(const SYSTEM_CONFIG& config, BYTE out[CONFIG_DATA_SIZE]);
void ConfigFromBytes(const BYTE in[CONFIG_DATA_SIZE], SYSTEM_CONFIG& config);

// The running executable's directory, ending in a backslash.
CString GetModuleDir();
// 1 if the file can be opened for reading (shared), else 0.
BOOL IsFileExist(LPCWSTR pszPath);
// 1 on success, 0 on any failure. The record is written to a temporary file of its own
// beside pszPath that replaces pszPath only once it is complete, flushed and reads back as the
// same record, so a failed save keeps the previous file (platform::ReplaceFileContents: the
// file keeps its mode and owner, a symlink stays a symlink). A caller that reads, changes and
// writes the file holds LockSystemConfig from before the read until after the save.
BOOL SaveSystemConfig(LPCWSTR pszPath, const SYSTEM_CONFIG* pConfig);
// How long a save waits for another one to finish before it is refused.
inline constexpr DWORD CONFIG_LOCK_TIMEOUT_MS = 10000;
// The lock of one read-change-write of the configuration file at pszPath, released by
// CloseHandle; INVALID_HANDLE_VALUE when another holder keeps it beyond
// CONFIG_LOCK_TIMEOUT_MS (ERROR_LOCK_VIOLATION) or the directory cannot be opened.
HANDLE LockSystemConfig(LPCWSTR pszPath);
// 1 on success, 0 on any failure; the record is written only on success.
BOOL LoadSystemConfig(LPCWSTR pszPath, SYSTEM_CONFIG* pConfig);

// Which check a configuration file failed, for callers that name it (tarvexctl).
enum class ConfigCheck {
    Ok,
    OpenFailed,       // missing, or held open without sharing
    HeaderReadFailed, // shorter than the header
    InvalidHeader,    // magic, header CRC or type id
    NotConfig,        // a valid container of another type
    CodecInitFailed,
    DataReadFailed,   // shorter than header + record
    VerifyFailed,     // decoded record does not match its CRC
};
ConfigCheck ReadSystemConfig(LPCWSTR pszPath, SYSTEM_CONFIG* pConfig);
const char* ConfigCheckName(ConfigCheck check);
