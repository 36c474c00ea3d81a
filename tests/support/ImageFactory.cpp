#include "tests/support/ImageFactory.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/Kernel.h"

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir()
{
    static std::atomic<int> counter{0};
    m_path = fs::temp_directory_path() /
             ("tarvex_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::remove_all(m_path);
    fs::create_directories(m_path);
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

CString WinPath(const fs::path& p) { return platform::WindowsPath(p.string()); }

std::vector<BYTE> MakeRawImage(std::size_t size, unsigned seed)
{
    std::vector<BYTE> raw(size);
    std::uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    for (auto& b : raw) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<BYTE>(x >> 24);
    }
    return raw;
}

std::vector<BYTE> EncodeImage(const char* name, const std::vector<BYTE>& raw, DWORD createTime)
{
    std::vector<BYTE> out;
    if (EncodeAppImage(name, raw.data(), static_cast<DWORD>(raw.size()), createTime, out) != 0)
        throw std::invalid_argument("image name longer than 8 characters");
    return out;
}

ENC_FILE_HEADER WriteImageFile(const fs::path& path, const char* name, const std::vector<BYTE>& raw)
{
    std::vector<BYTE> bytes = EncodeImage(name, raw);
    WriteBytes(path, bytes);
    return HeaderFromBytes(bytes.data());
}

SYSTEM_CONFIG MakeConfig(const std::u16string& appFile, const ENC_FILE_HEADER& image, const std::u16string& password)
{
    SYSTEM_CONFIG c{};
    WcsCopyField(c.szAppFile, CONFIG_TEXT_UNITS, CString(appFile));
    std::memcpy(c.szAppName, image.szName, 8);
    c.dwAppCrc = image.dwDataCrc;
    WcsCopyField(c.szPassword, CONFIG_TEXT_UNITS, CString(password));
    return c;
}

bool WriteConfigFile(const fs::path& dir, const SYSTEM_CONFIG& config)
{
    return SaveSystemConfig(WinPath(dir / "Tarvex.cfg"), &config) == 1;
}

std::vector<BYTE> ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::vector<BYTE>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

} // namespace testsupport
