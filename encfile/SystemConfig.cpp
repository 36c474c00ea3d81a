#include "encfile/SystemConfig.h"

#include <cstring>
#include <vector>

#include "encfile/ToolDir.h"
#include "platform/Kernel.h"

namespace {

void PutLe16(BYTE* p, WORD v)
{
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
}
WORD GetLe16(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }
void PutLe32(BYTE* p, DWORD v)
{
    PutLe16(p, static_cast<WORD>(v));
    PutLe16(p + 2, static_cast<WORD>(v >> 16));
}
DWORD GetLe32(const BYTE* p) { return static_cast<DWORD>(GetLe16(p)) | (static_cast<DWORD>(GetLe16(p + 2)) << 16); }

void PutText(BYTE* p, const WCHAR* s)
{
    for (std::size_t i = 0; i < CONFIG_TEXT_UNITS; ++i)
        PutLe16(p + 2 * i, static_cast<WORD>(s[i]));
}
void GetText(const BYTE* p, WCHAR* s)
{
    for (std::size_t i = 0; i < CONFIG_TEXT_UNITS; ++i)
        s[i] = static_cast<WCHAR>(GetLe16(p + 2 * i));
}

struct FileCloser {
    HANDLE h;
    ~FileCloser()
    {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

} // namespace

void ConfigToBytes(const SYSTEM_CONFIG& c, BYTE out[CONFIG_DATA_SIZE])
{
    PutText(out + 0, c.szAppFile);
    std::memcpy(out + 520, c.szAppName, 8);
    PutLe32(out + 528, c.dwAppCrc);
    PutLe16(out + 532, c.wProgramID);
    PutLe16(out + 534, c.wProgramVer);
    PutLe32(out + 536, static_cast<DWORD>(c.bAutoUpgrade));
    PutLe32(out + 540, static_cast<DWORD>(c.bAutoReset));
    PutLe32(out + 544, static_cast<DWORD>(c.bVersionCheck));
    PutLe32(out + 548, static_cast<DWORD>(c.bSaveUserData));
    PutText(out + 552, c.szTitle);
    PutText(out + 1072, c.szPassword);
}

void ConfigFromBytes(const BYTE in[CONFIG_DATA_SIZE], SYSTEM_CONFIG& c)
{
    GetText(in + 0, c.szAppFile);
    std::memcpy(c.szAppName, in + 520, 8);
    c.dwAppCrc = GetLe32(in + 528);
    c.wProgramID = GetLe16(in + 532);
    c.wProgramVer = GetLe16(in + 534);
    c.bAutoUpgrade = static_cast<BOOL>(GetLe32(in + 536));
    c.bAutoReset = static_cast<BOOL>(GetLe32(in + 540));
    c.bVersionCheck = static_cast<BOOL>(GetLe32(in + 544));
    c.bSaveUserData = static_cast<BOOL>(GetLe32(in + 548));
    GetText(in + 552, c.szTitle);
    GetText(in + 1072, c.szPassword);
}

CString GetModuleDir()
{
#ifdef _WIN32
    // A Windows copy is always portable: the executable's own directory, whatever its length.
    std::vector<WCHAR> buf(4096);
    DWORD n = 0;
    for (;;) {
        n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n + 1 < buf.size() || buf.size() >= (1u << 20)) break;
        buf.resize(buf.size() * 2);
    }
    CString path(buf.data(), static_cast<int>(n));
    int slash = path.ReverseFind(u'\\');
    return slash < 0 ? CString() : path.Left(slash + 1);
#else
    return platform::WindowsPath(tarvex::CurrentToolDir(true).dir);
#endif
}

BOOL IsFileExist(LPCWSTR pszPath)
{
    HANDLE h = CreateFileW(pszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    CloseHandle(h);
    return 1;
}

ConfigCheck ReadSystemConfig(LPCWSTR pszPath, SYSTEM_CONFIG* pConfig)
{
    if (!pszPath || !pConfig || !IsFileExist(pszPath)) return ConfigCheck::OpenFailed;
    FileCloser file{CreateFileW(pszPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.h == INVALID_HANDLE_VALUE) return ConfigCheck::OpenFailed;

    BYTE headerBytes[ENC_FILE_HEADER_SIZE];
    DWORD got = 0;
    if (!ReadFile(file.h, headerBytes, ENC_FILE_HEADER_SIZE, &got, nullptr) || got != ENC_FILE_HEADER_SIZE)
        return ConfigCheck::HeaderReadFailed;
    ENC_FILE_HEADER header = HeaderFromBytes(headerBytes);
    if (CheckFileHeader(&header) != 0) return ConfigCheck::InvalidHeader;
    if ((header.dwFileType & 0xFF) != FILE_TYPE_CONFIG) return ConfigCheck::NotConfig;
    if (InitFileCodec(&header) != 0) return ConfigCheck::CodecInitFailed;

    BYTE data[CONFIG_DATA_SIZE];
    if (!ReadFile(file.h, data, CONFIG_DATA_SIZE, &got, nullptr) || got != CONFIG_DATA_SIZE)
        return ConfigCheck::DataReadFailed;
    if (DecodeFileData(&header, data, CONFIG_DATA_SIZE) != 0 || VerifyFileData(&header) != 0)
        return ConfigCheck::VerifyFailed;
    ConfigFromBytes(data, *pConfig);
    return ConfigCheck::Ok;
}

BOOL LoadSystemConfig(LPCWSTR pszPath, SYSTEM_CONFIG* pConfig)
{
    return ReadSystemConfig(pszPath, pConfig) == ConfigCheck::Ok ? 1 : 0;
}

namespace {

// Writes the whole container into a fresh file and checks the codec's sum.
bool WriteConfigFile(HANDLE file, const BYTE plain[CONFIG_DATA_SIZE])
{
    std::vector<BYTE> data(plain, plain + CONFIG_DATA_SIZE);
    WORD crc = Crc16Update(CRC16_INIT, data.data(), CONFIG_DATA_SIZE);
    const char noName[8] = {};
    ENC_FILE_HEADER header{};
    if (CreateFileHeader(noName, crc, &header) != 0) return false;

    BYTE headerBytes[ENC_FILE_HEADER_SIZE];
    HeaderToBytes(header, headerBytes);
    DWORD written = 0;
    if (!WriteFile(file, headerBytes, ENC_FILE_HEADER_SIZE, &written, nullptr) || written != ENC_FILE_HEADER_SIZE)
        return false;
    if (InitFileCodec(&header) != 0 || EncodeConfigData(&header, data.data()) != 0) return false;
    if (!WriteFile(file, data.data(), CONFIG_DATA_SIZE, &written, nullptr) || written != CONFIG_DATA_SIZE)
        return false;
    return CheckFileHeader(&header) == 0 && header.dwDataCrc == GetCodecSumReg();
}

} // namespace

BOOL SaveSystemConfig(LPCWSTR pszPath, const SYSTEM_CONFIG* pConfig)
{
    if (!pszPath || !*pszPath || !pConfig) return 0;
    BYTE plain[CONFIG_DATA_SIZE];
    ConfigToBytes(*pConfig, plain);

    // A file this process holds without write sharing must refuse the save, as writing it in
    // place would.
    HANDLE probe = CreateFileW(pszPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
    else if (GetLastError() != ERROR_FILE_NOT_FOUND) return 0;

    const BOOL ok = platform::ReplaceFileContents(
        pszPath, [&](HANDLE file) { return WriteConfigFile(file, plain); },
        [&](LPCWSTR written) {
            // What was written must read back as the very same record.
            SYSTEM_CONFIG check{};
            BYTE checkBytes[CONFIG_DATA_SIZE];
            if (LoadSystemConfig(written, &check) != 1) return false;
            ConfigToBytes(check, checkBytes);
            return std::memcmp(checkBytes, plain, CONFIG_DATA_SIZE) == 0;
        });
    return ok ? 1 : 0;
}

HANDLE LockSystemConfig(LPCWSTR pszPath)
{
    return platform::LockFileForUpdate(pszPath, CONFIG_LOCK_TIMEOUT_MS);
}

const char* ConfigCheckName(ConfigCheck check)
{
    switch (check) {
    case ConfigCheck::Ok: return "ok";
    case ConfigCheck::OpenFailed: return "open";
    case ConfigCheck::HeaderReadFailed: return "header-read";
    case ConfigCheck::InvalidHeader: return "header";
    case ConfigCheck::NotConfig: return "type";
    case ConfigCheck::CodecInitFailed: return "codec-init";
    case ConfigCheck::DataReadFailed: return "data-read";
    case ConfigCheck::VerifyFailed: return "verify";
    }
    return "unknown";
}
