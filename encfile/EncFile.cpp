#include "encfile/EncFile.h"

#include <array>
#include <cstring>

#include "platform/Kernel.h"

// The seed texts are key material: every file ever written depends on them. They must never
// change, and the test vectors in the encfile tests pin them.
const FILE_TYPE_ENTRY FILE_TYPE_TABLE[10] = {
    {3, "Kd7q"},
    {1, "mZ2w"},
    {2, "Rv8sT"},
    {FILE_TYPE_CONFIG, "CONFIG"},
    {5, "p4XnL"},
    {6, "Wq3e"},
    {7, "hJ5k"},
    {8, "Fm2bX9tRa"},
    {FILE_TYPE_APP_IMAGE, "Nq7vKc4Ye"},
    {0, nullptr},
};

namespace {

constexpr std::array<WORD, 256> MakeCrcTable()
{
    std::array<WORD, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
        t[i] = static_cast<WORD>(crc & 0xFFFF);
    }
    return t;
}
constexpr std::array<WORD, 256> kCrcTable = MakeCrcTable();

inline WORD CrcStep(WORD crc, BYTE b)
{
    return static_cast<WORD>((crc << 8) ^ kCrcTable[((crc >> 8) ^ b) & 0xFF]);
}

// One payload's state from InitFileCodec to VerifyFileData. Per thread: the tool runs every
// sequence on its UI thread, and a test or simulator thread building images of its own must
// not disturb it.
thread_local WORD t_wKeyReg = 0xFFFF;
thread_local WORD t_wSumReg = 0xFFFF;

const FILE_TYPE_ENTRY* FindType(DWORD dwFileType)
{
    BYTE id = static_cast<BYTE>(dwFileType & 0xFF);
    for (const FILE_TYPE_ENTRY* p = FILE_TYPE_TABLE; p->dwType != 0; ++p)
        if (static_cast<BYTE>(p->dwType & 0xFF) == id) return p;
    return nullptr;
}

void PutLe32(BYTE* p, DWORD v)
{
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
    p[2] = static_cast<BYTE>(v >> 16);
    p[3] = static_cast<BYTE>(v >> 24);
}

DWORD GetLe32(const BYTE* p)
{
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}

WORD HeaderCrc(const ENC_FILE_HEADER& header)
{
    BYTE bytes[ENC_FILE_HEADER_SIZE];
    HeaderToBytes(header, bytes);
    std::memset(bytes + 4, 0, 4);
    return Crc16Update(CRC16_INIT, bytes, ENC_FILE_HEADER_SIZE);
}

} // namespace

void HeaderToBytes(const ENC_FILE_HEADER& h, BYTE out[ENC_FILE_HEADER_SIZE])
{
    PutLe32(out + 0, h.dwMagic);
    PutLe32(out + 4, h.dwHeaderCrc);
    PutLe32(out + 8, h.dwCreateTime);
    PutLe32(out + 12, h.dwDataSize);
    PutLe32(out + 16, h.dwDataCrc);
    PutLe32(out + 20, h.dwFileType);
    std::memcpy(out + 24, h.szName, 8);
}

ENC_FILE_HEADER HeaderFromBytes(const BYTE in[ENC_FILE_HEADER_SIZE])
{
    ENC_FILE_HEADER h{};
    h.dwMagic = GetLe32(in + 0);
    h.dwHeaderCrc = GetLe32(in + 4);
    h.dwCreateTime = GetLe32(in + 8);
    h.dwDataSize = GetLe32(in + 12);
    h.dwDataCrc = GetLe32(in + 16);
    h.dwFileType = GetLe32(in + 20);
    std::memcpy(h.szName, in + 24, 8);
    return h;
}

WORD Crc16Update(WORD crc, const void* data, DWORD count)
{
    const auto* p = static_cast<const BYTE*>(data);
    for (DWORD i = 0; i < count; ++i)
        crc = CrcStep(crc, p[i]);
    return crc;
}

int CreateFileHeaderOfType(DWORD dwFileType, DWORD dwDataSize, const char name[8], DWORD dwDataCrc,
                           DWORD dwCreateTime, ENC_FILE_HEADER* pHeader)
{
    if (!pHeader || !FindType(dwFileType)) return -1;
    ENC_FILE_HEADER h{};
    h.dwMagic = ENC_FILE_MAGIC;
    h.dwHeaderCrc = 0;
    h.dwCreateTime = dwCreateTime;
    h.dwDataSize = dwDataSize;
    h.dwDataCrc = dwDataCrc;
    h.dwFileType = dwFileType & 0xFF;
    if (name) std::memcpy(h.szName, name, 8);
    h.dwHeaderCrc = HeaderCrc(h);
    *pHeader = h;
    return 0;
}

int CreateFileHeader(const char name[8], DWORD dwDataCrc, ENC_FILE_HEADER* pHeader)
{
    long long now = _time64(nullptr);
    return CreateFileHeaderOfType(FILE_TYPE_CONFIG, CONFIG_DATA_SIZE, name, dwDataCrc,
                                  static_cast<DWORD>(static_cast<unsigned long long>(now) & 0xFFFFFFFFu), pHeader);
}

int CheckFileHeader(const ENC_FILE_HEADER* pHeader)
{
    if (!pHeader || pHeader->dwMagic != ENC_FILE_MAGIC) return -1;
    if (pHeader->dwHeaderCrc != HeaderCrc(*pHeader)) return -1;
    return FindType(pHeader->dwFileType) ? 0 : -1;
}

int InitFileCodec(const ENC_FILE_HEADER* pHeader)
{
    if (CheckFileHeader(pHeader) != 0) return -1;
    t_wKeyReg = 0xFFFF;
    t_wSumReg = 0xFFFF;
    const FILE_TYPE_ENTRY* type = FindType(pHeader->dwFileType);
    if (!type) return -1;
    WORD key = Crc16Update(CRC16_INIT, type->pszSeed, static_cast<DWORD>(std::strlen(type->pszSeed)));
    t_wKeyReg = Crc16Update(key, pHeader->szName, 8);
    return 0;
}

int EncodeFileData(const ENC_FILE_HEADER* pHeader, BYTE* pData, DWORD count)
{
    if (CheckFileHeader(pHeader) != 0 || (!pData && count)) return -1;
    WORD key = t_wKeyReg, sum = t_wSumReg;
    for (DWORD i = 0; i < count; ++i) {
        BYTE plain = pData[i];
        pData[i] = static_cast<BYTE>(plain ^ (key & 0xFF));
        key = CrcStep(key, plain);
        sum = CrcStep(sum, plain);
    }
    t_wKeyReg = key;
    t_wSumReg = sum;
    return 0;
}

int EncodeConfigData(const ENC_FILE_HEADER* pHeader, BYTE* pData)
{
    return EncodeFileData(pHeader, pData, CONFIG_DATA_SIZE);
}

int DecodeFileData(const ENC_FILE_HEADER* pHeader, BYTE* pData, DWORD count)
{
    if (CheckFileHeader(pHeader) != 0 || (!pData && count)) return -1;
    WORD key = t_wKeyReg, sum = t_wSumReg;
    for (DWORD i = 0; i < count; ++i) {
        BYTE plain = static_cast<BYTE>(pData[i] ^ (key & 0xFF));
        pData[i] = plain;
        key = CrcStep(key, plain);
        sum = CrcStep(sum, plain);
    }
    t_wKeyReg = key;
    t_wSumReg = sum;
    return 0;
}

int VerifyFileData(const ENC_FILE_HEADER* pHeader)
{
    if (CheckFileHeader(pHeader) != 0) return -1;
    return pHeader->dwDataCrc == static_cast<DWORD>(t_wSumReg) ? 0 : -1;
}

WORD GetCodecKeyReg() { return t_wKeyReg; }
WORD GetCodecSumReg() { return t_wSumReg; }
