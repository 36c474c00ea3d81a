#include "upgrade/EventJson.h"

#include <cstdio>

#include "upgrade/UpgradeProcedure.h"

std::string JsonString(const CString& text)
{
    const std::u16string& u = text.Str();
    std::string out = "\"";
    for (std::size_t i = 0; i < u.size(); ++i) {
        const char16_t c = u[i];
        char buf[8];
        const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF;
        if (pair) {
            out += CString(u.substr(i, 2)).ToUtf8();
            ++i;
            continue;
        }
        switch (c) {
        case u'"': out += "\\\""; break;
        case u'\\': out += "\\\\"; break;
        case u'\n': out += "\\n"; break;
        case u'\r': out += "\\r"; break;
        case u'\t': out += "\\t"; break;
        case u'\b': out += "\\b"; break;
        case u'\f': out += "\\f"; break;
        default:
            if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF)) {
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                out += buf;
            } else {
                out += CString(u.substr(i, 1)).ToUtf8();
            }
        }
    }
    return out + "\"";
}

std::string JsonString(const std::string& bytes) { return JsonString(CString::FromUtf8Escaped(bytes)); }

const char* StatusColourName(COLORREF colour)
{
    switch (colour) {
    case UPGRADE_COLOR_BLUE: return "blue";
    case UPGRADE_COLOR_RED: return "red";
    case UPGRADE_COLOR_GREEN: return "green";
    default: return "face";
    }
}
