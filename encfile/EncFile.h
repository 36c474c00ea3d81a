// The encoded container shared by the configuration file and the application images: a
// 32-byte header followed by a payload encoded byte by byte with a keystream, plus the
// CRC-16/CCITT-FALSE used for the header, the payload and the keystream.
#pragma once
#include <cstddef>

#include "platform/WinTypes.h"

inline constexpr DWORD ENC_FILE_MAGIC = 0x42497631; // "1vIB" on disk
inline constexpr DWORD ENC_FILE_HEADER_SIZE = 32;
inline constexpr DWORD FILE_TYPE_CONFIG = 4;
inline constexpr DWORD FILE_TYPE_APP_IMAGE = 9;
inline constexpr DWORD CONFIG_DATA_SIZE = 1592; // sizeof(SYSTEM_CONFIG)
inline constexpr WORD CRC16_INIT = 0xFFFF;

// In memory a plain record; on disk always through HeaderToBytes/HeaderFromBytes, which fix
// the little-endian layout whatever the host.
struct ENC_FILE_HEADER {
    DWORD dwMagic;
    DWORD dwHeaderCrc;  // CRC-16 of the 32 bytes with this field zero, zero-extended
    DWORD dwCreateTime; // low 32 bits of the creation time (seconds since 1970), never examined
    DWORD dwDataSize;   // payload bytes after the header
    DWORD dwDataCrc;    // CRC-16 of the plain payload, zero-extended
    DWORD dwFileType;   // only the low byte is compared
    char szName[8];     // single-byte name, zero-padded, not necessarily terminated
};
static_assert(sizeof(ENC_FILE_HEADER) == ENC_FILE_HEADER_SIZE);

void HeaderToBytes(const ENC_FILE_HEADER& header, BYTE out[ENC_FILE_HEADER_SIZE]);
ENC_FILE_HEADER HeaderFromBytes(const BYTE in[ENC_FILE_HEADER_SIZE]);

struct FILE_TYPE_ENTRY {
    DWORD dwType;        // low byte is the type id; 0 ends the table
    const char* pszSeed; // key material of the keystream for files of this type
};
// The rows in lookup order, ending with the row of id 0.
extern const FILE_TYPE_ENTRY FILE_TYPE_TABLE[10];

// CRC-16/CCITT-FALSE step over count bytes (table driven). count 0 returns crc unchanged.
WORD Crc16Update(WORD crc, const void* data, DWORD count);

// Codec operations return 0 on success and -1 on failure. All but CreateFileHeader first
// run CheckFileHeader and change nothing when it fails.

// Fills a configuration-file header (type 4, size 1592) with the current time.
int CreateFileHeader(const char name[8], DWORD dwDataCrc, ENC_FILE_HEADER* pHeader);
// The same for any type and size with a given time; images are produced with it.
int CreateFileHeaderOfType(DWORD dwFileType, DWORD dwDataSize, const char name[8], DWORD dwDataCrc,
                           DWORD dwCreateTime, ENC_FILE_HEADER* pHeader);
int CheckFileHeader(const ENC_FILE_HEADER* pHeader);
int InitFileCodec(const ENC_FILE_HEADER* pHeader);
// Encodes exactly CONFIG_DATA_SIZE bytes in place.
int EncodeConfigData(const ENC_FILE_HEADER* pHeader, BYTE* pData);
// Encodes count bytes in place (the image producer's side of DecodeFileData).
int EncodeFileData(const ENC_FILE_HEADER* pHeader, BYTE* pData, DWORD count);
int DecodeFileData(const ENC_FILE_HEADER* pHeader, BYTE* pData, DWORD count);
int VerifyFileData(const ENC_FILE_HEADER* pHeader);

// The codec registers, for the save path's own check and for tests.
WORD GetCodecKeyReg();
WORD GetCodecSumReg();
