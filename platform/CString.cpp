#include "platform/CString.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

namespace {

// One decoder for both readings of bytes: a byte that starts no valid UTF-8 sequence becomes
// U+FFFD, or with escape the lone surrogate U+DC00 + byte, which ToUtf8Escaped turns back
// into that very byte.
std::u16string DecodeUtf8(std::string_view s, bool escape)
{
    std::u16string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp = escape ? static_cast<char32_t>(0xDC00 + c) : 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > s.size()) {
                len = 1;
            } else {
                char32_t v = c & (0x7F >> len);
                bool ok = true;
                for (std::size_t k = 1; k < len; ++k) {
                    unsigned char cc = static_cast<unsigned char>(s[i + k]);
                    if ((cc & 0xC0) != 0x80) { ok = false; break; }
                    v = (v << 6) | (cc & 0x3F);
                }
                static const char32_t minFor[] = {0, 0, 0x80, 0x800, 0x10000};
                if (ok && v >= minFor[len] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF))
                    cp = v;
                else
                    len = 1;
            }
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string EncodeUtf8(const std::u16string& u, bool escape)
{
    std::string out;
    out.reserve(u.size());
    for (std::size_t i = 0; i < u.size(); ++i) {
        char32_t cp = u[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (u[i + 1] - 0xDC00);
            ++i;
        } else if (escape && cp >= 0xDC80 && cp <= 0xDCFF) {
            out += static_cast<char>(cp - 0xDC00);
            continue;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

} // namespace

CString CString::FromUtf8(std::string_view s) { return CString(DecodeUtf8(s, false)); }
std::string CString::ToUtf8() const { return EncodeUtf8(m_str, false); }
CString CString::FromUtf8Escaped(std::string_view s) { return CString(DecodeUtf8(s, true)); }
std::string CString::ToUtf8Escaped() const { return EncodeUtf8(m_str, true); }

CString CString::FromAnsi(const char* p, std::size_t n)
{
    std::u16string out;
    for (std::size_t i = 0; i < n; ++i)
        out += static_cast<char16_t>(static_cast<unsigned char>(p[i]));
    return CString(std::move(out));
}

CString CString::Left(int n) const
{
    if (n <= 0) return CString();
    return CString(m_str.substr(0, static_cast<std::size_t>(n)));
}

CString CString::Right(int n) const
{
    if (n <= 0) return CString();
    std::size_t k = std::min(static_cast<std::size_t>(n), m_str.size());
    return CString(m_str.substr(m_str.size() - k));
}

CString CString::Mid(int first) const
{
    if (first < 0) first = 0;
    if (static_cast<std::size_t>(first) >= m_str.size()) return CString();
    return CString(m_str.substr(static_cast<std::size_t>(first)));
}

CString CString::Mid(int first, int count) const
{
    if (first < 0) first = 0;
    if (count <= 0 || static_cast<std::size_t>(first) >= m_str.size()) return CString();
    return CString(m_str.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(count)));
}

int CString::Find(WCHAR ch, int start) const
{
    if (start < 0) start = 0;
    auto pos = m_str.find(ch, static_cast<std::size_t>(start));
    return pos == std::u16string::npos ? -1 : static_cast<int>(pos);
}

int CString::Find(const WCHAR* sub, int start) const
{
    if (!sub) return -1;
    if (start < 0) start = 0;
    auto pos = m_str.find(sub, static_cast<std::size_t>(start));
    return pos == std::u16string::npos ? -1 : static_cast<int>(pos);
}

int CString::ReverseFind(WCHAR ch) const
{
    auto pos = m_str.rfind(ch);
    return pos == std::u16string::npos ? -1 : static_cast<int>(pos);
}

int CString::Compare(const WCHAR* other) const
{
    return m_str.compare(other ? other : u"");
}

static WCHAR LowerAscii(WCHAR c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 32) : c;
}

int CString::CompareNoCase(const WCHAR* other) const
{
    std::u16string_view b(other ? other : u"");
    std::size_t n = std::min(m_str.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        WCHAR x = LowerAscii(m_str[i]), y = LowerAscii(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (m_str.size() == b.size()) return 0;
    return m_str.size() < b.size() ? -1 : 1;
}

CString& CString::MakeLower()
{
    for (auto& c : m_str) c = LowerAscii(c);
    return *this;
}

CString& CString::MakeUpper()
{
    for (auto& c : m_str)
        if (c >= u'a' && c <= u'z') c = static_cast<WCHAR>(c - 32);
    return *this;
}

CString& CString::Trim()
{
    auto isSpace = [](WCHAR c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    while (!m_str.empty() && isSpace(m_str.back())) m_str.pop_back();
    std::size_t k = 0;
    while (k < m_str.size() && isSpace(m_str[k])) ++k;
    m_str.erase(0, k);
    return *this;
}

int CString::Insert(int index, WCHAR ch)
{
    if (index < 0) index = 0;
    if (static_cast<std::size_t>(index) > m_str.size()) index = static_cast<int>(m_str.size());
    m_str.insert(m_str.begin() + index, ch);
    return GetLength();
}

int CString::Delete(int index, int count)
{
    if (index < 0) index = 0;
    if (count > 0 && static_cast<std::size_t>(index) < m_str.size())
        m_str.erase(static_cast<std::size_t>(index), static_cast<std::size_t>(count));
    return GetLength();
}

static void FormatV(std::u16string& out, const WCHAR* fmt, va_list ap)
{
    out.clear();
    if (!fmt) return;
    for (const WCHAR* p = fmt; *p; ++p) {
        if (*p != u'%') { out += *p; continue; }
        const WCHAR* start = p;
        ++p;
        if (*p == u'%') { out += u'%'; continue; }
        bool left = false, zero = false;
        for (;; ++p) {
            if (*p == u'-') left = true;
            else if (*p == u'0') zero = true;
            else break;
        }
        int width = 0;
        while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0');
        int prec = -1;
        if (*p == u'.') {
            ++p;
            prec = 0;
            while (*p >= u'0' && *p <= u'9') prec = prec * 10 + (*p++ - u'0');
        }
        bool isLong = false;
        while (*p == u'l' || *p == u'h') { isLong = isLong || *p == u'l'; ++p; }
        std::u16string body;
        bool numeric = true;
        switch (*p) {
        case u'd': case u'i': {
            long long v = isLong ? va_arg(ap, long) : va_arg(ap, int);
            bool neg = v < 0;
            unsigned long long u = neg ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
            do { body.insert(body.begin(), static_cast<char16_t>(u'0' + u % 10)); u /= 10; } while (u);
            if (neg) {
                if (zero && !left) {
                    while (static_cast<int>(body.size()) + 1 < width) body.insert(body.begin(), u'0');
                }
                body.insert(body.begin(), u'-');
            }
            break;
        }
        case u'u': case u'x': case u'X': {
            unsigned long long u = isLong ? va_arg(ap, unsigned long) : va_arg(ap, unsigned int);
            unsigned base = *p == u'u' ? 10 : 16;
            const char* digits = *p == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";
            do { body.insert(body.begin(), static_cast<char16_t>(digits[u % base])); u /= base; } while (u);
            break;
        }
        case u'c':
            body += static_cast<char16_t>(va_arg(ap, int));
            numeric = false;
            break;
        case u's': {
            const WCHAR* s = va_arg(ap, const WCHAR*);
            body = s ? s : u"(null)";
            if (prec >= 0 && body.size() > static_cast<std::size_t>(prec)) body.resize(static_cast<std::size_t>(prec));
            numeric = false;
            break;
        }
        default:
            // Unknown conversion: copy it as it stands.
            out.append(start, static_cast<std::size_t>(p - start + (*p ? 1 : 0)));
            if (!*p) return;
            continue;
        }
        while (static_cast<int>(body.size()) < width) {
            if (left) body += u' ';
            else body.insert(body.begin(), (zero && numeric) ? u'0' : u' ');
        }
        out += body;
    }
}

void CString::Format(const WCHAR* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    FormatV(m_str, fmt, ap);
    va_end(ap);
}

CString CString::Formatted(const WCHAR* fmt, ...)
{
    CString s;
    va_list ap;
    va_start(ap, fmt);
    FormatV(s.m_str, fmt, ap);
    va_end(ap);
    return s;
}

std::size_t WcsNLen(const WCHAR* s, std::size_t maxUnits)
{
    std::size_t n = 0;
    while (n < maxUnits && s[n]) ++n;
    return n;
}

bool WcsCopyField(WCHAR* dst, std::size_t units, const CString& src)
{
    std::size_t n = static_cast<std::size_t>(src.GetLength());
    if (units == 0 || n >= units) return false;
    std::memcpy(dst, src.GetString(), n * sizeof(WCHAR));
    dst[n] = 0;
    return true;
}

unsigned long WcsToULong16(const WCHAR* s)
{
    if (!s) return 0;
    while (*s == u' ' || *s == u'\t') ++s;
    if (s[0] == u'0' && (s[1] == u'x' || s[1] == u'X')) {
        WCHAR c = s[2];
        if ((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')) s += 2;
    }
    unsigned long v = 0;
    for (; *s; ++s) {
        unsigned d;
        if (*s >= u'0' && *s <= u'9') d = static_cast<unsigned>(*s - u'0');
        else if (*s >= u'a' && *s <= u'f') d = static_cast<unsigned>(*s - u'a' + 10);
        else if (*s >= u'A' && *s <= u'F') d = static_cast<unsigned>(*s - u'A' + 10);
        else break;
        if (v > 0x0FFFFFFFul) return 0xFFFFFFFFul; // saturates like a 32-bit wcstoul
        v = v * 16 + d;
    }
    return v;
}
