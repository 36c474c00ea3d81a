// Pictures of windows as files, the same on every implementation.
#include <cstdio>

#include "platform/ui/TestHooks.h"

namespace platform::ui {

bool SavePictureBmp(const Picture& picture, const std::string& path)
{
    if (picture.cx <= 0 || picture.cy <= 0 ||
        picture.argb.size() != static_cast<std::size_t>(picture.cx) * static_cast<std::size_t>(picture.cy))
        return false;
    std::string out;
    auto u16 = [&out](std::uint32_t v) {
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>((v >> 8) & 0xFF);
    };
    auto u32 = [&](std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    const std::uint32_t pixels = static_cast<std::uint32_t>(picture.argb.size()) * 4;
    out += "BM";
    u32(14 + 40 + pixels);
    u32(0);
    u32(14 + 40);
    u32(40);
    u32(static_cast<std::uint32_t>(picture.cx));
    u32(static_cast<std::uint32_t>(-picture.cy)); // top row first
    u16(1);
    u16(32);
    u32(0);
    u32(pixels);
    u32(3780); // 96 dpi
    u32(3780);
    u32(0);
    u32(0);
    for (std::uint32_t p : picture.argb) u32(p);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace platform::ui
