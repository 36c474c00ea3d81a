#include "encfile/AppImage.h"

#include <cstdlib>
#include <cstring>

#include "platform/Kernel.h"

namespace {

struct FileCloser {
    HANDLE h;
    ~FileCloser()
    {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

} // namespace

AppImageCheck ReadAppImage(LPCWSTR pszPath, const SYSTEM_CONFIG* pMatch, ENC_FILE_HEADER* pHeader, BYTE** ppData)
{
    if (!pszPath || !*pszPath) return AppImageCheck::OpenFailed;
    FileCloser file{CreateFileW(pszPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.h == INVALID_HANDLE_VALUE) return AppImageCheck::OpenFailed;

    BYTE headerBytes[ENC_FILE_HEADER_SIZE];
    DWORD got = 0;
    if (!ReadFile(file.h, headerBytes, ENC_FILE_HEADER_SIZE, &got, nullptr) || got != ENC_FILE_HEADER_SIZE)
        return AppImageCheck::HeaderReadFailed;
    ENC_FILE_HEADER header = HeaderFromBytes(headerBytes);
    if (CheckFileHeader(&header) != 0) return AppImageCheck::InvalidHeader;
    if ((header.dwFileType & 0xFF) != FILE_TYPE_APP_IMAGE) return AppImageCheck::NotAppImage;
    if (pMatch) {
        if (header.dwDataCrc != pMatch->dwAppCrc) return AppImageCheck::CrcMismatch;
        if (std::memcmp(header.szName, pMatch->szAppName, 8) != 0) return AppImageCheck::NameMismatch;
    }
    if (InitFileCodec(&header) != 0) return AppImageCheck::CodecInitFailed;

    const DWORD size = header.dwDataSize;
    if (size < APP_IMAGE_MIN_SIZE || size > APP_IMAGE_MAX_SIZE) return AppImageCheck::BadImageSize;
    // A header may claim more than the file holds; find out before allocating for it.
    LONGLONG fileSize = GetFileSizeEx64(file.h);
    if (fileSize < 0 || fileSize - static_cast<LONGLONG>(ENC_FILE_HEADER_SIZE) < static_cast<LONGLONG>(size))
        return AppImageCheck::DataReadFailed;

    auto* data = static_cast<BYTE*>(std::malloc(size));
    if (!data) return AppImageCheck::OutOfMemory;
    if (!ReadFile(file.h, data, size, &got, nullptr) || got != size) {
        std::free(data);
        return AppImageCheck::DataReadFailed;
    }
    if (DecodeFileData(&header, data, size) != 0 || VerifyFileData(&header) != 0) {
        std::free(data);
        return AppImageCheck::VerifyFailed;
    }
    if (pHeader) *pHeader = header;
    if (ppData) *ppData = data;
    else std::free(data);
    return AppImageCheck::Ok;
}

bool IsPlainFileName(const CString& name)
{
    // ".." matters only as a whole component; "a..b.bimg" is an ordinary name.
    if (name.IsEmpty() || name == u"." || name == u"..") return false;
    return name.Find(u'\\') < 0 && name.Find(u'/') < 0 && name.Find(u':') < 0;
}

AppImageCheck LoadAppImage(const SYSTEM_CONFIG& config, ENC_FILE_HEADER* pHeader, BYTE** ppData)
{
    std::size_t len = WcsNLen(config.szAppFile, CONFIG_TEXT_UNITS);
    if (len == 0) return AppImageCheck::NotConfigured;
    // A name filling all 260 units has no terminator: not a name this tool wrote.
    if (len >= CONFIG_TEXT_UNITS) return AppImageCheck::BadFileName;
    CString name(config.szAppFile, static_cast<int>(len));
    if (!IsPlainFileName(name)) return AppImageCheck::BadFileName;
    return ReadAppImage(GetModuleDir() + name, &config, pHeader, ppData);
}

const WCHAR* LoadAppImageText(AppImageCheck check)
{
    switch (check) {
    case AppImageCheck::Ok:
    case AppImageCheck::NotConfigured: return nullptr;
    case AppImageCheck::BadFileName: return u"鼠标应用文件名无效！";
    case AppImageCheck::OpenFailed: return u"无法找到鼠标应用文件！";
    case AppImageCheck::HeaderReadFailed: return u"读鼠标应用文件信息失败！";
    case AppImageCheck::InvalidHeader: return u"无效的鼠标应用文件！";
    case AppImageCheck::NotAppImage: return u"不是鼠标应用文件！";
    case AppImageCheck::CrcMismatch: return u"鼠标应用文件的校验码检查错误！";
    case AppImageCheck::NameMismatch: return u"鼠标应用文件的名称检查错误！";
    case AppImageCheck::CodecInitFailed: return u"鼠标应用文件解码初始化失败！";
    case AppImageCheck::BadImageSize: return u"鼠标应用文件的大小无效！";
    case AppImageCheck::OutOfMemory: return u"申请内存失败！";
    case AppImageCheck::DataReadFailed: return u"读鼠标应用文件失败！";
    case AppImageCheck::VerifyFailed: return u"鼠标应用文件解码验证失败！";
    }
    return nullptr;
}

const WCHAR* PickAppImageText(AppImageCheck check)
{
    switch (check) {
    case AppImageCheck::OpenFailed: return u"打开鼠标文件失败！";
    case AppImageCheck::NotAppImage: return u"不是DUN-X4游戏鼠标应用文件！";
    case AppImageCheck::DataReadFailed: return u"读鼠标应用文件数据失败！";
    default: return LoadAppImageText(check);
    }
}

const char* AppImageCheckName(AppImageCheck check)
{
    switch (check) {
    case AppImageCheck::Ok: return "ok";
    case AppImageCheck::NotConfigured: return "not-configured";
    case AppImageCheck::BadFileName: return "file-name";
    case AppImageCheck::OpenFailed: return "open";
    case AppImageCheck::HeaderReadFailed: return "header-read";
    case AppImageCheck::InvalidHeader: return "header";
    case AppImageCheck::NotAppImage: return "type";
    case AppImageCheck::CrcMismatch: return "crc";
    case AppImageCheck::NameMismatch: return "name";
    case AppImageCheck::CodecInitFailed: return "codec-init";
    case AppImageCheck::BadImageSize: return "size";
    case AppImageCheck::OutOfMemory: return "memory";
    case AppImageCheck::DataReadFailed: return "data-read";
    case AppImageCheck::VerifyFailed: return "verify";
    }
    return "unknown";
}

int EncodeAppImage(const char* pszName, const BYTE* pRaw, DWORD size, DWORD dwCreateTime, std::vector<BYTE>& out)
{
    char name[8] = {};
    std::size_t len = pszName ? std::strlen(pszName) : 0;
    if (len > sizeof(name) || (!pRaw && size)) return -1;
    if (len) std::memcpy(name, pszName, len);
    ENC_FILE_HEADER header{};
    WORD crc = Crc16Update(CRC16_INIT, pRaw, size);
    if (CreateFileHeaderOfType(FILE_TYPE_APP_IMAGE, size, name, crc, dwCreateTime, &header) != 0) return -1;
    std::vector<BYTE> bytes(ENC_FILE_HEADER_SIZE + static_cast<std::size_t>(size));
    HeaderToBytes(header, bytes.data());
    if (size) std::memcpy(bytes.data() + ENC_FILE_HEADER_SIZE, pRaw, size);
    if (InitFileCodec(&header) != 0 || EncodeFileData(&header, bytes.data() + ENC_FILE_HEADER_SIZE, size) != 0)
        return -1;
    out = std::move(bytes);
    return 0;
}
