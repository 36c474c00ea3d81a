// A station's report: one CSV record per mouse (and the same fields in the JSON events).
#pragma once
#include <mutex>
#include <string>

#include "encfile/EncFile.h"
#include "platform/Kernel.h"
#include "tools/tarvexctl/Field.h"
#include "upgrade/AppendFile.h"
#include "upgrade/EventJson.h"
#include "upgrade/UpgradeProcedure.h"

namespace field {

std::string ImageName(const ENC_FILE_HEADER& h);
std::string HostName();

struct Record;
// The record of one mouse's run: deviceId is the one read on arrival, for a run that did not
// read it itself (empty: none); port, the port the run was on.
Record MakeRecord(const UpgradeReport& r, OutcomeClass cls, const LoadedImage& img, double seconds, long long startTime,
                  const std::string& arrivalDeviceId, const std::string& port);

// One mouse of a loop, as the report and the JSON stream carry it. The first seven columns
// are those of earlier reports, so a reader of those keeps working.
struct Record {
    std::string time, deviceId, oldVersion, newVersion, outcome, cls, seconds;
    std::string port, programId, image, imageCrc, startTime, detail;

    static const char* Header()
    {
        return "time,device_id,old_version,new_version,outcome,class,seconds,port,program_id,image,image_crc,"
               "tool_version,host,start_time,detail";
    }
    static std::string Csv(const std::string& v)
    {
        if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
        std::string q = "\"";
        for (char ch : v) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
        return q + "\"";
    }
    std::string Line() const
    {
        const std::string fields[] = {time, deviceId, oldVersion, newVersion, outcome, cls, seconds, port, programId, image,
                                      imageCrc, TARVEX_VERSION, HostName(), startTime, detail};
        std::string line;
        for (const auto& f : fields) line += (line.empty() ? "" : ",") + Csv(f);
        return line + "\n";
    }
    std::string Json(bool withPort = true) const
    {
        return "\"device_id\":" + JsonString(deviceId) + ",\"old_version\":" + JsonString(oldVersion) +
               ",\"new_version\":" + JsonString(newVersion) + ",\"outcome\":" + JsonString(outcome) +
               ",\"class\":" + JsonString(cls) + ",\"seconds\":" + seconds + (withPort ? ",\"port\":" + JsonString(port) : std::string()) +
               ",\"program_id\":" + JsonString(programId) + ",\"image\":" + JsonString(image) +
               ",\"image_crc\":" + JsonString(imageCrc) + ",\"tool_version\":" + JsonString(TARVEX_VERSION) +
               ",\"host\":" + JsonString(HostName()) + ",\"start_time\":" + JsonString(startTime) +
               ",\"detail\":" + JsonString(detail);
    }
};

// The CSV report: a regular file only, opened once before any mouse is touched; a file
// with other columns is refused rather than mixed; every record written whole or reported.
class CReport
{
public:
    void Open(const std::string& path)
    {
        std::string why;
        if (!m_file.Open(path, true, why)) throw Refused{path + ": cannot keep the report there: " + why};
        if (m_file.Size() == 0) {
            if (!m_file.Write(std::string(Record::Header()) + "\n", why)) throw Refused{path + ": cannot write: " + why};
            return;
        }
        // Read through the platform's files, which take regular files only.
        std::string head;
        HANDLE h = CreateFileW(platform::WindowsPath(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            char buf[512];
            DWORD n = 0;
            if (ReadFile(h, buf, sizeof buf, &n, nullptr)) head.assign(buf, n);
            CloseHandle(h);
        }
        head = head.substr(0, head.find('\n'));
        if (!head.empty() && head.back() == '\r') head.pop_back();
        if (head != Record::Header())
            throw Refused{path + ": a report with other columns (an older tarvexctl's, or another file): give a new file"};
    }
    bool IsOpen() const { return m_file.IsOpen(); }
    // Whole records, one at a time, from every port of a station.
    bool Append(const Record& r, std::string& why)
    {
        std::lock_guard<std::mutex> lk(m_mu);
        return m_file.Write(r.Line(), why);
    }

private:
    std::mutex m_mu;
    CAppendFile m_file;
};


} // namespace field
