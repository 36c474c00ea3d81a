#include "tools/tarvexctl/Report.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "platform/Kernel.h"
#include "tools/tarvexctl/Field.h"
#include "upgrade/EventJson.h"
#include "upgrade/RunLog.h"

namespace field {

std::string ImageName(const ENC_FILE_HEADER& h)
{
    std::string n;
    for (std::size_t i = 0; i < sizeof(h.szName) && h.szName[i]; ++i) {
        const unsigned char ch = static_cast<unsigned char>(h.szName[i]);
        n += (ch >= 0x20 && ch < 0x7F) ? static_cast<char>(ch) : '_';
    }
    return n;
}

std::string HostName()
{
    char buf[256] = {};
#ifdef _WIN32
    if (const char* n = std::getenv("COMPUTERNAME")) std::snprintf(buf, sizeof buf, "%s", n);
#else
    if (gethostname(buf, sizeof buf - 1) != 0) buf[0] = 0;
#endif
    return buf;
}

Record MakeRecord(const UpgradeReport& r, OutcomeClass cls, const LoadedImage& img, double seconds, long long startTime,
                  const std::string& arrivalDeviceId, const std::string& port)
{
    Record rec;
    rec.time = UtcTimeText(static_cast<long long>(std::time(nullptr)));
    rec.deviceId = r.bHaveDeviceId ? HexId(r.deviceId) : (arrivalDeviceId.empty() ? "-" : arrivalDeviceId);
    rec.oldVersion = r.bHaveProgramInfo ? "v" + std::to_string(r.version) + ".0" : "-";
    const bool written = cls == OutcomeClass::Upgraded || cls == OutcomeClass::ResetFailed;
    rec.newVersion = written ? "v" + std::to_string(img.config.wProgramVer >> 8) + "." + std::to_string(img.config.wProgramVer & 0xFF) : "-";
    rec.outcome = OutcomeName(r.outcome);
    rec.cls = OutcomeClassName(cls);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", seconds);
    rec.seconds = buf;
    rec.port = port;
    if (r.bHaveProgramInfo) {
        std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(r.programId));
        rec.programId = buf;
    }
    rec.image = ImageName(img.header);
    std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(img.header.dwDataCrc));
    rec.imageCrc = buf;
    rec.startTime = UtcTimeText(startTime);
    rec.detail = r.detail;
    return rec;
}

} // namespace field
