// Reading and checking an application image (.bimg): the container checks of the main
// dialog's load and of the configuration dialog's pick, and producing an image from raw
// flash bytes.
#pragma once
#include <vector>

#include "encfile/EncFile.h"
#include "encfile/SystemConfig.h"
#include "platform/WinTypes.h"

// The upgrade writes the device ID at 0x4100..0x4105 (wire::image, which the upgrade checks
// this against), so a smaller image cannot take it; the bootloader's 16-bit chunk offsets
// reach no further than 64 KiB.
inline constexpr DWORD APP_IMAGE_MIN_SIZE = 0x4106;
inline constexpr DWORD APP_IMAGE_MAX_SIZE = 0x10000;

// Which check an image failed, in the order they run.
enum class AppImageCheck {
    Ok,
    NotConfigured,    // the configuration names no image
    BadFileName,      // the configured name is not a plain file name
    OpenFailed,
    HeaderReadFailed,
    InvalidHeader,    // magic, header CRC or type id
    NotAppImage,      // a valid container of another type
    CrcMismatch,      // dwDataCrc differs from the configuration's dwAppCrc
    NameMismatch,     // szName differs from the configuration's szAppName
    CodecInitFailed,
    BadImageSize,     // dwDataSize outside APP_IMAGE_MIN_SIZE..APP_IMAGE_MAX_SIZE
    OutOfMemory,
    DataReadFailed,   // fewer payload bytes than dwDataSize
    VerifyFailed,     // decoded payload does not match dwDataCrc
};

// Runs the checks on the file at pszPath.
// pMatch non-null: the image must carry pMatch's dwAppCrc and szAppName (the main dialog's
// load); null: container checks only (the configuration dialog's pick).
// ppData non-null: on Ok *ppData receives the decoded bytes (dwDataSize of them) in a block
// from malloc that the caller releases with free(); null: the decoded bytes are discarded.
// *pHeader and *ppData are written only on Ok.
AppImageCheck ReadAppImage(LPCWSTR pszPath, const SYSTEM_CONFIG* pMatch, ENC_FILE_HEADER* pHeader, BYTE** ppData);

// The main dialog's load: the image that config names, in the executable's directory,
// checked against config. Refuses an empty or non-plain szAppFile before touching any file.
AppImageCheck LoadAppImage(const SYSTEM_CONFIG& config, ENC_FILE_HEADER* pHeader, BYTE** ppData);

// True for a name without directory parts: no separator, drive colon, "." or "..".
bool IsPlainFileName(const CString& name);

// The message each dialog shows for a result; null where it shows none.
const WCHAR* LoadAppImageText(AppImageCheck check);
const WCHAR* PickAppImageText(AppImageCheck check);
// A short English name of the check ("type", "crc", ...), for the command line.
const char* AppImageCheckName(AppImageCheck check);

// Encodes raw flash bytes as a complete image file (header + payload) named by up to 8
// single-byte characters (zero-padded). Returns 0, or -1 if the name is too long.
int EncodeAppImage(const char* pszName, const BYTE* pRaw, DWORD size, DWORD dwCreateTime, std::vector<BYTE>& out);
