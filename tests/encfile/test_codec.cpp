// CRC-16, the container header and the keystream codec, with the vectors that pin the
// seed texts.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "encfile/AppImage.h"
#include "encfile/EncFile.h"
#include "encfile/SystemConfig.h"
#include "platform/Kernel.h"

namespace {

std::string Hex(const BYTE* p, std::size_t n)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// A header with a correct CRC over whatever the fields hold.
ENC_FILE_HEADER Resealed(ENC_FILE_HEADER h)
{
    BYTE b[32];
    h.dwHeaderCrc = 0;
    HeaderToBytes(h, b);
    h.dwHeaderCrc = Crc16Update(0xFFFF, b, 32);
    return h;
}

ENC_FILE_HEADER ImageHeader(const char* name, DWORD size, DWORD crc)
{
    char n[8] = {};
    std::memcpy(n, name, std::strlen(name));
    ENC_FILE_HEADER h{};
    EXPECT_EQ(CreateFileHeaderOfType(FILE_TYPE_APP_IMAGE, size, n, crc, 0, &h), 0);
    return h;
}

std::vector<BYTE> Plain(std::size_t n)
{
    std::vector<BYTE> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(i * 31 + 7);
    return v;
}

} // namespace

TEST(Crc16, PublishedCheckValueAndEmptyInput)
{
    EXPECT_EQ(Crc16Update(0xFFFF, "123456789", 9), 0x29B1);
    EXPECT_EQ(Crc16Update(0x1D0F, "", 0), 0x1D0F);
    EXPECT_EQ(Crc16Update(0xFFFF, nullptr, 0), 0xFFFF);
    // Stepping in pieces is the same as stepping at once.
    EXPECT_EQ(Crc16Update(Crc16Update(0xFFFF, "1234", 4), "56789", 5), 0x29B1);
}

TEST(FileTypeTable, SeedTextsHaveTheirFixedShapes)
{
    const std::pair<DWORD, std::size_t> shape[] = {{3, 4}, {1, 4}, {2, 5}, {4, 6}, {5, 5},
                                                   {6, 4}, {7, 4}, {8, 9}, {9, 9}};
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(FILE_TYPE_TABLE[i].dwType, shape[i].first);
        EXPECT_EQ(std::strlen(FILE_TYPE_TABLE[i].pszSeed), shape[i].second);
    }
    EXPECT_EQ(FILE_TYPE_TABLE[9].dwType, 0u);
    for (const char* p = FILE_TYPE_TABLE[3].pszSeed; *p; ++p)
        EXPECT_TRUE(std::isupper(static_cast<unsigned char>(*p)));
}

TEST(FileHeader, CreatedConfigHeaderHasItsFixedLayout)
{
    const char name[8] = {};
    ENC_FILE_HEADER h{};
    long long before = _time64(nullptr);
    ASSERT_EQ(CreateFileHeader(name, 0xBEEF, &h), 0);
    long long after = _time64(nullptr);
    BYTE b[32];
    HeaderToBytes(h, b);
    EXPECT_EQ(std::memcmp(b, "1vIB", 4), 0);
    EXPECT_EQ(b[6], 0);
    EXPECT_EQ(b[7], 0);
    EXPECT_GE(h.dwCreateTime, static_cast<DWORD>(before));
    EXPECT_LE(h.dwCreateTime, static_cast<DWORD>(after));
    EXPECT_EQ(Hex(b + 12, 12), "38060000efbe000004000000"); // size 1592, CRC, type 4
    EXPECT_EQ(Hex(b + 24, 8), "0000000000000000");
    EXPECT_EQ(CheckFileHeader(&h), 0);
    EXPECT_EQ(HeaderFromBytes(b).dwHeaderCrc, h.dwHeaderCrc);
}

TEST(FileHeader, RefusesBadMagicCrcAndTypes)
{
    ENC_FILE_HEADER good = ImageHeader("IMG", 100, 0x1234);
    ASSERT_EQ(CheckFileHeader(&good), 0);

    ENC_FILE_HEADER h = good;
    h.dwMagic = 0x42497632;
    EXPECT_EQ(CheckFileHeader(&h), -1);
    h = Resealed(h);
    EXPECT_EQ(CheckFileHeader(&h), -1);

    // Right low 16 bits but a non-zero byte 6 or 7.
    h = good;
    h.dwHeaderCrc |= 0x00010000;
    EXPECT_EQ(CheckFileHeader(&h), -1);
    h = good;
    h.dwHeaderCrc |= 0x80000000;
    EXPECT_EQ(CheckFileHeader(&h), -1);

    // Any covered byte changed.
    h = good;
    h.dwCreateTime ^= 1;
    EXPECT_EQ(CheckFileHeader(&h), -1);
    h = good;
    h.szName[7] = 'x';
    EXPECT_EQ(CheckFileHeader(&h), -1);

    for (DWORD type : {0u, 10u, 255u}) {
        h = good;
        h.dwFileType = type;
        h = Resealed(h);
        EXPECT_EQ(CheckFileHeader(&h), -1) << type;
    }
    for (const FILE_TYPE_ENTRY* p = FILE_TYPE_TABLE; p->dwType; ++p) {
        h = good;
        h.dwFileType = p->dwType;
        h = Resealed(h);
        EXPECT_EQ(CheckFileHeader(&h), 0) << p->dwType;
    }
    // Only the low byte of the type is compared.
    h = good;
    h.dwFileType = 0x00000109;
    h = Resealed(h);
    EXPECT_EQ(CheckFileHeader(&h), 0);
    EXPECT_EQ(CreateFileHeaderOfType(11, 1, nullptr, 0, 0, &h), -1);
}

TEST(Codec, FailedHeaderCheckChangesNothing)
{
    ENC_FILE_HEADER good = ImageHeader("A", 16, 0);
    ASSERT_EQ(InitFileCodec(&good), 0);
    const WORD key = GetCodecKeyReg(), sum = GetCodecSumReg();
    ENC_FILE_HEADER bad = good;
    bad.dwMagic = 0;
    std::vector<BYTE> buf = Plain(16), copy = buf;
    EXPECT_EQ(InitFileCodec(&bad), -1);
    EXPECT_EQ(DecodeFileData(&bad, buf.data(), 16), -1);
    EXPECT_EQ(EncodeFileData(&bad, buf.data(), 16), -1);
    EXPECT_EQ(VerifyFileData(&bad), -1);
    EXPECT_EQ(buf, copy);
    EXPECT_EQ(GetCodecKeyReg(), key);
    EXPECT_EQ(GetCodecSumReg(), sum);
}

TEST(Codec, EncodeThenDecodeRestoresAndSumsThePlainBytes)
{
    const char name[8] = {};
    std::vector<BYTE> plain = Plain(CONFIG_DATA_SIZE);
    WORD crc = Crc16Update(0xFFFF, plain.data(), CONFIG_DATA_SIZE);
    ENC_FILE_HEADER h{};
    ASSERT_EQ(CreateFileHeader(name, crc, &h), 0);
    std::vector<BYTE> buf = plain;
    ASSERT_EQ(InitFileCodec(&h), 0);
    ASSERT_EQ(EncodeConfigData(&h, buf.data()), 0);
    EXPECT_EQ(GetCodecSumReg(), crc);
    EXPECT_NE(buf, plain);
    ASSERT_EQ(InitFileCodec(&h), 0);
    ASSERT_EQ(DecodeFileData(&h, buf.data(), CONFIG_DATA_SIZE), 0);
    EXPECT_EQ(buf, plain);
    EXPECT_EQ(GetCodecSumReg(), crc);
    EXPECT_EQ(VerifyFileData(&h), 0);
    // The whole 32 bits are compared.
    ENC_FILE_HEADER wide = h;
    wide.dwDataCrc |= 0x10000;
    wide = Resealed(wide);
    EXPECT_EQ(VerifyFileData(&wide), -1);
}

TEST(Codec, EmptyPayloadVerifiesOnlyAgainstTheInitialValue)
{
    ENC_FILE_HEADER h = ImageHeader("E", 0, 0xFFFF);
    ASSERT_EQ(InitFileCodec(&h), 0);
    ASSERT_EQ(DecodeFileData(&h, nullptr, 0), 0);
    EXPECT_EQ(GetCodecSumReg(), 0xFFFF);
    EXPECT_EQ(VerifyFileData(&h), 0);
    ENC_FILE_HEADER other = ImageHeader("E", 0, 0);
    EXPECT_EQ(VerifyFileData(&other), -1);
}

TEST(Codec, CorruptionSpreadsAndIsDetected)
{
    std::vector<BYTE> plain = Plain(64);
    WORD crc = Crc16Update(0xFFFF, plain.data(), 64);
    ENC_FILE_HEADER h = ImageHeader("NAME1", 64, crc);
    std::vector<BYTE> enc = plain;
    ASSERT_EQ(InitFileCodec(&h), 0);
    ASSERT_EQ(EncodeFileData(&h, enc.data(), 64), 0);

    for (std::size_t at : {std::size_t{0}, std::size_t{20}}) {
        std::vector<BYTE> buf = enc;
        buf[at] ^= 0x01;
        ASSERT_EQ(InitFileCodec(&h), 0);
        ASSERT_EQ(DecodeFileData(&h, buf.data(), 64), 0);
        for (std::size_t i = 0; i < at; ++i) EXPECT_EQ(buf[i], plain[i]);
        EXPECT_NE(buf[at], plain[at]);
        EXPECT_NE(buf[at + 1], plain[at + 1]);
        EXPECT_EQ(VerifyFileData(&h), -1);
    }
    // Every value of the last byte but the right one fails.
    for (int v = 1; v < 256; ++v) {
        std::vector<BYTE> buf = enc;
        buf[63] ^= static_cast<BYTE>(v);
        ASSERT_EQ(InitFileCodec(&h), 0);
        ASSERT_EQ(DecodeFileData(&h, buf.data(), 64), 0);
        EXPECT_EQ(VerifyFileData(&h), -1) << v;
    }
    // Another name seeds another keystream.
    ENC_FILE_HEADER renamed = ImageHeader("NAME2", 64, crc);
    std::vector<BYTE> buf = enc;
    ASSERT_EQ(InitFileCodec(&renamed), 0);
    ASSERT_EQ(DecodeFileData(&renamed, buf.data(), 64), 0);
    EXPECT_NE(buf, plain);
    EXPECT_EQ(VerifyFileData(&renamed), -1);
}

// These bytes may never change: files in the field were written with them.
TEST(PinnedVectors, ConfigRecordEncodesToKnownBytes)
{
    SYSTEM_CONFIG c{};
    std::u16string file = u"fw.bimg", title = u"升级工具", password = u"pass";
    std::memcpy(c.szAppFile, file.data(), file.size() * 2);
    std::memcpy(c.szAppName, "DUNX4A", 6);
    c.dwAppCrc = 0x1234;
    c.wProgramID = 0x2A3B;
    c.wProgramVer = 0x0102;
    c.bAutoUpgrade = 1;
    c.bVersionCheck = 1;
    std::memcpy(c.szTitle, title.data(), title.size() * 2);
    std::memcpy(c.szPassword, password.data(), password.size() * 2);

    BYTE plain[CONFIG_DATA_SIZE];
    ConfigToBytes(c, plain);
    EXPECT_EQ(Hex(plain + 520, 32), "44554e583441000034120000" "3b2a0201" "01000000" "00000000" "01000000" "00000000");
    WORD crc = Crc16Update(0xFFFF, plain, CONFIG_DATA_SIZE);
    const char noName[8] = {};
    ENC_FILE_HEADER h{};
    ASSERT_EQ(CreateFileHeader(noName, crc, &h), 0);
    ASSERT_EQ(InitFileCodec(&h), 0);
    EXPECT_EQ(GetCodecKeyReg(), 0x5565);
    ASSERT_EQ(EncodeConfigData(&h, plain), 0);
    EXPECT_EQ(crc, 0xF693);
    EXPECT_EQ(Hex(plain, 24), "0330b25a4e9f3467fcfd677a20bee2c23f4bc2fcadcffdb5");
    EXPECT_EQ(Crc16Update(0xFFFF, plain, CONFIG_DATA_SIZE), 0x814A);
}

TEST(PinnedVectors, RawImageEncodesToKnownFile)
{
    std::vector<BYTE> raw(48);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<BYTE>(i * 7 + 3);
    std::vector<BYTE> file;
    ASSERT_EQ(EncodeAppImage("PIN-IMG", raw.data(), 48, 0x65000000, file), 0);
    ASSERT_EQ(file.size(), 80u);
    EXPECT_EQ(Hex(file.data(), 32), "3176494280a600000000006530000000328c00000900000050494e2d494d4700");
    EXPECT_EQ(Hex(file.data() + 32, 48), "02aacfaf48a4c065906d49302e38f3e3947e60adc4480099fec7fe227f57eb64d1d828b01ded6cc5e7876fa3ca460d13");
}
