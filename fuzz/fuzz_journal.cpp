// Any bytes as tarvex.journal: loaded, and when it loads, written back and loaded again to
// the same entries.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Kernel.h"
#include "upgrade/RecoveryJournal.h"

namespace {

const std::filesystem::path& TempDir()
{
    static const std::filesystem::path dir = [] {
        auto p = std::filesystem::temp_directory_path() / ("fuzz_journal_" + std::to_string(::getpid()));
        std::filesystem::create_directories(p);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(TempDir(), ec);
        });
        return p;
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto& dir = TempDir();
    {
        std::ofstream out(dir / "tarvex.journal", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    CRecoveryJournal journal(platform::WindowsPath(dir.string()) + u"\\");
    std::vector<JournalEntry> entries;
    std::string error;
    if (!journal.Load(entries, error)) return 0;
    for (const auto& e : entries) {
        JournalEntry back;
        if (!CRecoveryJournal::Parse(CRecoveryJournal::Format(e), back) || back.deviceId != wire::MaskDeviceId(e.deviceId) ||
            back.userData != e.userData)
            std::abort();
    }
    return 0;
}
