// The scaled clock in terms the Windows-facing files can use without our type headers.
#pragma once
#include <cstdint>

namespace platform::win32 {
// Real milliseconds for `ms` on the scaled clock; 0xFFFFFFFF (infinite) stays infinite and a
// positive wait never rounds down to a poll.
std::uint32_t RealMsFor(std::uint32_t ms);
} // namespace platform::win32
