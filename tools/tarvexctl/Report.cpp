#include "tools/tarvexctl/Report.h"

#include <cstdio>
#include <cstdlib>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "platform/Kernel.h"
#include "tools/tarvexctl/Field.h"
#include "upgrade/EventJson.h"

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

} // namespace field
