// Helpers for tests of every module: raw flash images, encoded image files and
// configuration files made the way the tool reads them.
#pragma once
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "encfile/AppImage.h"
#include "encfile/EncFile.h"
#include "encfile/SystemConfig.h"
#include "platform/CString.h"

namespace testsupport {

// A directory of its own under the system temp directory, removed with its content.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// Windows-shaped path for the code under test.
CString WinPath(const std::filesystem::path& p);

// size pseudo-random bytes, the same for the same seed.
std::vector<BYTE> MakeRawImage(std::size_t size, unsigned seed);
// The complete image file for raw under name (up to 8 characters), created at createTime.
std::vector<BYTE> EncodeImage(const char* name, const std::vector<BYTE>& raw, DWORD createTime = 0x5F000000);
// Writes EncodeImage's bytes to path and returns the image's header.
ENC_FILE_HEADER WriteImageFile(const std::filesystem::path& path, const char* name, const std::vector<BYTE>& raw);

// A record naming the image file appFile with the header's name and CRC, a password and
// everything else zero.
SYSTEM_CONFIG MakeConfig(const std::u16string& appFile, const ENC_FILE_HEADER& image, const std::u16string& password = u"1234");
// Saves config as dir/Tarvex.cfg; false if the save failed.
bool WriteConfigFile(const std::filesystem::path& dir, const SYSTEM_CONFIG& config);

std::vector<BYTE> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<BYTE>& bytes);

} // namespace testsupport
