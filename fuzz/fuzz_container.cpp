// Any bytes as a container header + payload in memory, and as Tarvex.cfg on disk.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encfile/EncFile.h"
#include "encfile/SystemConfig.h"
#include "platform/Kernel.h"

namespace {

const std::string& TempPath()
{
    static const std::string path = "/tmp/fuzz_container_" + std::to_string(::getpid()) + ".cfg";
    static const bool cleanup = (std::atexit([] { std::remove(path.c_str()); }), true);
    (void)cleanup;
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size >= ENC_FILE_HEADER_SIZE) {
        ENC_FILE_HEADER h = HeaderFromBytes(data);
        if (CheckFileHeader(&h) == 0) {
            std::vector<BYTE> payload(data + ENC_FILE_HEADER_SIZE, data + size);
            if (InitFileCodec(&h) != 0) __builtin_trap();
            DecodeFileData(&h, payload.data(), static_cast<DWORD>(payload.size()));
            VerifyFileData(&h);
            // Encoding what was decoded gives back the input.
            if (InitFileCodec(&h) != 0 || EncodeFileData(&h, payload.data(), static_cast<DWORD>(payload.size())) != 0 ||
                (!payload.empty() && std::memcmp(payload.data(), data + ENC_FILE_HEADER_SIZE, payload.size()) != 0))
                __builtin_trap();
        }
    }

    FILE* f = std::fopen(TempPath().c_str(), "wb");
    if (!f) return 0;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
    SYSTEM_CONFIG c{};
    CString path = platform::WindowsPath(TempPath());
    if (LoadSystemConfig(path, &c) == 1) {
        // A record that loads saves and loads again unchanged.
        SYSTEM_CONFIG again{};
        if (SaveSystemConfig(path, &c) != 1 || LoadSystemConfig(path, &again) != 1 ||
            std::memcmp(&c, &again, sizeof c) != 0)
            __builtin_trap();
    }
    return 0;
}
