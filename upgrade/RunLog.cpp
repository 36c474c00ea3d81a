#include "upgrade/RunLog.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/Kernel.h"
#include "upgrade/AppendFile.h"

namespace fs = std::filesystem;

CRunLog::CRunLog(const CString& dir, std::string source) : m_source(std::move(source))
{
    if (!dir.IsEmpty()) m_path = ToolFilePath(dir, RUN_LOG_FILE_NAME);
}

std::string ToolFilePath(const CString& dir, const char* name)
{
    const std::string native = platform::NativePath(dir);
    const std::u8string joined = (fs::path(std::u8string(native.begin(), native.end())) / name).u8string();
    return std::string(joined.begin(), joined.end());
}

std::string UtcTimeText(long long seconds)
{
    // Days to a civil date (proleptic Gregorian), after Howard Hinnant's algorithm.
    long long days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) rest += 86400, --days;
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char buf[128];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", year, month, day, rest / 3600, rest / 60 % 60,
                  rest % 60);
    return buf;
}

namespace {

std::string UtcNow() { return UtcTimeText(static_cast<long long>(std::time(nullptr))); }

} // namespace

void CRunLog::Line(const std::string& text)
{
    const std::string line = UtcNow() + " " + m_source + " " + text;
    if (m_fnMirror) m_fnMirror(line);
    if (m_path.empty()) return;
    std::lock_guard<std::mutex> lk(m_mu);
    // Opened for each line, since several runs may share the log; never through a link,
    // never a FIFO or device (a log must not hold up a run, least of all after the switch).
    CAppendFile out;
    std::string why;
    if (out.Open(m_path, false, why) && out.Size() >= RUN_LOG_ROTATE_BYTES) {
        out.Close();
        std::error_code ec;
        fs::rename(m_path, m_path + ".1", ec);
        if (ec) fs::remove(m_path, ec); // never let one log grow without bound
        out.Open(m_path, false, why);
    }
    if (out.IsOpen() && out.Write(line + "\n", why)) return;
    if (m_strError.empty()) {
        m_strError = m_path + ": " + why;
        if (m_fnProblem) m_fnProblem(m_strError);
    }
}