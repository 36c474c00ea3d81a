#include "upgrade/RunLog.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/Kernel.h"

namespace fs = std::filesystem;

CRunLog::CRunLog(const CString& dir, std::string source) : m_source(std::move(source))
{
    if (!dir.IsEmpty()) m_path = (fs::path(platform::NativePath(dir)) / RUN_LOG_FILE_NAME).string();
}

namespace {

std::string UtcNow()
{
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    char buf[32] = "?";
    if (gmtime_r(&t, &tm)) std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

} // namespace

void CRunLog::Line(const std::string& text)
{
    const std::string line = UtcNow() + " " + m_source + " " + text;
    if (m_fnMirror) m_fnMirror(line);
    if (m_path.empty()) return;
    std::error_code ec;
    const auto size = fs::file_size(m_path, ec);
    if (!ec && size >= RUN_LOG_ROTATE_BYTES) {
        fs::rename(m_path, m_path + ".1", ec);
        if (ec) fs::remove(m_path, ec); // never let one log grow without bound
    }
    std::ofstream out(m_path, std::ios::app | std::ios::binary);
    if (out) out << line << '\n';
}
