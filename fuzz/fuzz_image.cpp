// Any bytes as an image file, through the reader in both uses.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "encfile/AppImage.h"
#include "platform/Kernel.h"

namespace {

const std::string& TempPath()
{
    static const std::string path = "/tmp/fuzz_image_" + std::to_string(::getpid()) + ".bimg";
    static const bool cleanup = (std::atexit([] { std::remove(path.c_str()); }), true);
    (void)cleanup;
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FILE* f = std::fopen(TempPath().c_str(), "wb");
    if (!f) return 0;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
    CString path = platform::WindowsPath(TempPath());

    ENC_FILE_HEADER h{};
    BYTE* bytes = nullptr;
    AppImageCheck picked = ReadAppImage(path, nullptr, &h, &bytes);
    if (picked == AppImageCheck::Ok) {
        if (!bytes || h.dwDataSize < APP_IMAGE_MIN_SIZE || h.dwDataSize > APP_IMAGE_MAX_SIZE ||
            Crc16Update(CRC16_INIT, bytes, h.dwDataSize) != h.dwDataCrc)
            __builtin_trap();
        std::free(bytes);
    }
    // The main use, with a configuration that matches the header when there is one, so the
    // later checks are reached too.
    SYSTEM_CONFIG c{};
    if (size >= ENC_FILE_HEADER_SIZE) {
        ENC_FILE_HEADER claimed = HeaderFromBytes(data);
        c.dwAppCrc = claimed.dwDataCrc;
        std::memcpy(c.szAppName, claimed.szName, 8);
    }
    ENC_FILE_HEADER h2{};
    BYTE* bytes2 = nullptr;
    AppImageCheck loaded = ReadAppImage(path, &c, &h2, &bytes2);
    if ((loaded == AppImageCheck::Ok) != (picked == AppImageCheck::Ok)) __builtin_trap();
    std::free(bytes2);
    return 0;
}
