#include "sim/SimState.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Kernel.h"
#include "sim/Protocol.h"

namespace fs = std::filesystem;

namespace sim {
namespace {

// A state holds 64 KiB of flash as hex and the user data; far less than this.
constexpr std::uintmax_t kMaxBytes = 1024 * 1024;
constexpr const char* kFirstLine = "tarvex-sim-state 1";

bool ParseHex(const std::string& s, std::size_t maxDigits, unsigned long long& v)
{
    if (s.empty() || s.size() > maxDigits || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    v = std::stoull(s, nullptr, 16);
    return true;
}

std::string ToHex(const BYTE* p, std::size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool FromHex(const std::string& s, std::vector<BYTE>& out)
{
    if (s.size() % 2 || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    out.resize(s.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<BYTE>(std::stoul(s.substr(2 * i, 2), nullptr, 16));
    return true;
}

} // namespace

bool ReadSimState(const std::string& path, SimState& state, std::string& error)
{
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        error = path + ": not a regular file";
        return false;
    }
    const auto size = fs::file_size(path, ec);
    if (ec || size > kMaxBytes) {
        error = path + ": not a simulated mouse's state (too large)";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != kFirstLine) {
        error = path + ": not a simulated mouse's state";
        return false;
    }
    SimState s;
    s.settings.userData.assign(16, std::vector<BYTE>(256, 0));
    int seen = 0;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), v = line.substr(eq + 1);
        unsigned long long x = 0;
        std::vector<BYTE> bytes;
        bool ok = true;
        if (key == "port") ok = !v.empty() && v.size() <= 2 && v.find_first_not_of("0123456789") == std::string::npos &&
                                 std::stoi(v) >= 1 && std::stoi(v) <= 32,
                           s.port = ok ? std::stoi(v) : 1;
        else if (key == "mode") ok = v == "application" || v == "bootloader", s.bootloader = v == "bootloader", seen |= 1;
        else if (key == "firmware") ok = v == "ok" || v == "broken", s.broken = v == "broken";
        else if (key == "program_id") ok = ParseHex(v, 8, x), s.settings.programId = static_cast<DWORD>(x);
        else if (key == "version") ok = ParseHex(v, 2, x), s.settings.version = static_cast<BYTE>(x);
        else if (key == "device_id") ok = ParseHex(v, 12, x), s.settings.deviceId = x, seen |= 2;
        else if (key.rfind("user_data_", 0) == 0) {
            const std::string n = key.substr(10);
            ok = !n.empty() && n.size() <= 2 && n.find_first_not_of("0123456789") == std::string::npos && std::stoul(n) < 16 &&
                 FromHex(v, bytes) && bytes.size() == 256;
            if (ok) s.settings.userData[std::stoul(n)] = bytes;
        } else if (key == "flash") {
            ok = FromHex(v, s.flash) && s.flash.size() <= proto::kFlashSize, seen |= 4;
        }
        if (!ok) {
            error = path + ": bad line '" + key + "'";
            return false;
        }
    }
    if (seen != 7) {
        error = path + ": incomplete simulated mouse's state";
        return false;
    }
    state = std::move(s);
    return true;
}

bool WriteSimState(const std::string& path, const SimState& st, std::string& error)
{
    std::string text = std::string(kFirstLine) + "\n";
    char buf[64];
    text += "port=" + std::to_string(st.port) + "\n";
    text += std::string("mode=") + (st.bootloader ? "bootloader" : "application") + "\n";
    text += std::string("firmware=") + (st.broken ? "broken" : "ok") + "\n";
    std::snprintf(buf, sizeof buf, "program_id=%08X\nversion=%02X\n", static_cast<unsigned>(st.settings.programId),
                  static_cast<unsigned>(st.settings.version));
    text += buf;
    std::snprintf(buf, sizeof buf, "device_id=%012llX\n", static_cast<unsigned long long>(st.settings.deviceId & 0xFFFFFFFFFFFFull));
    text += buf;
    for (std::size_t b = 0; b < st.settings.userData.size() && b < 16; ++b)
        text += "user_data_" + std::to_string(b) + "=" + ToHex(st.settings.userData[b].data(), st.settings.userData[b].size()) + "\n";
    std::size_t used = st.flash.size();
    while (used > 0 && st.flash[used - 1] == 0xFF) --used; // the erased tail is implied
    text += "flash=" + ToHex(st.flash.data(), used) + "\n";
    const BOOL ok = platform::ReplaceFileContents(platform::WindowsPath(path), [&](HANDLE h) {
        DWORD written = 0;
        return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
    });
    if (!ok) {
        error = path + ": the simulated mouse's state could not be saved";
        return false;
    }
    return true;
}

SimState CaptureSimState(World& w, int mouse, bool broken)
{
    SimState st;
    const std::string path = w.MousePortPath(mouse);
    if (path.rfind("1-", 0) == 0 && path.find('.') == std::string::npos) st.port = std::atoi(path.c_str() + 2);
    const MouseMode mode = w.GetMouseMode(mouse);
    st.settings = w.GetMouseSettings(mouse);
    st.flash = w.Flash(mouse);
    st.broken = broken;
    if (broken) {
        // The identity lived in the flash: what the flash holds now is all the mouse has.
        st.settings.deviceId = 0;
        for (std::size_t i = 0; i < proto::kDeviceIdBytes; ++i)
            st.settings.deviceId |= static_cast<ULONGLONG>(st.flash[proto::kDeviceIdOffset + i]) << (8 * i);
        for (unsigned b = proto::kFirstSavedBlock; b <= proto::kLastSavedBlock; ++b)
            std::copy_n(st.flash.begin() + static_cast<long>(proto::kUserDataOffset + (b - proto::kFirstSavedBlock) * proto::kUserDataBlockSize),
                        proto::kUserDataBlockSize, st.settings.userData[b].begin());
    }
    // A mouse that left the bus is plugged in again next time.
    st.bootloader = mode == MouseMode::Bootloader || broken;
    return st;
}

void RestoreSimState(World& w, int mouse, const SimState& st, int hub, int port)
{
    w.SetFlash(mouse, st.flash);
    w.SetMouseSettings(mouse, st.settings);
    w.PlugMouse(mouse, hub, port);
    // A mouse whose flash holds no complete firmware comes up in its bootloader.
    if (st.bootloader || st.broken) w.EnterBootloader(mouse);
}

} // namespace sim
