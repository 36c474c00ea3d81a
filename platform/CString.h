// A UTF-16 string with the operations of the dialog framework's CString that the tool uses.
#pragma once
#include <string>
#include <string_view>

#include "platform/WinTypes.h"

class CString
{
public:
    CString() = default;
    CString(const WCHAR* psz) : m_str(psz ? psz : u"") {}
    CString(const WCHAR* p, int nLength) : m_str(p ? std::u16string(p, static_cast<std::size_t>(nLength < 0 ? 0 : nLength)) : std::u16string()) {}
    CString(std::u16string s) : m_str(std::move(s)) {}
    CString(std::u16string_view s) : m_str(s) {}
    CString(WCHAR ch, int nRepeat = 1) : m_str(static_cast<std::size_t>(nRepeat < 0 ? 0 : nRepeat), ch) {}

    // UTF-8 <-> UTF-16. Invalid UTF-8 sequences become U+FFFD; nothing is dropped silently.
    static CString FromUtf8(std::string_view utf8);
    std::string ToUtf8() const;
    // Bytes that need not be UTF-8 (Linux file names), without loss: each byte that starts no
    // valid sequence becomes the lone surrogate U+DC80..U+DCFF and is written back as that
    // byte. FromUtf8Escaped(b).ToUtf8Escaped() == b for any bytes b.
    static CString FromUtf8Escaped(std::string_view bytes);
    std::string ToUtf8Escaped() const;
    // Single-byte (ANSI) text: each byte is taken as Latin-1, which is what the tool's
    // single-byte fields (image names) hold.
    static CString FromAnsi(const char* p, std::size_t n);

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    WCHAR GetAt(int i) const { return m_str.at(static_cast<std::size_t>(i)); }
    WCHAR operator[](int i) const { return GetAt(i); }
    void SetAt(int i, WCHAR ch) { m_str.at(static_cast<std::size_t>(i)) = ch; }
    const WCHAR* GetString() const { return m_str.c_str(); }
    operator const WCHAR*() const { return m_str.c_str(); }
    const std::u16string& Str() const { return m_str; }

    CString Left(int n) const;
    CString Right(int n) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;
    int Find(WCHAR ch, int start = 0) const;
    int Find(const WCHAR* sub, int start = 0) const;
    int ReverseFind(WCHAR ch) const;
    int Compare(const WCHAR* other) const;
    // Case-insensitive for ASCII letters only; other code points compare exactly.
    int CompareNoCase(const WCHAR* other) const;
    CString& MakeLower();
    CString& MakeUpper();
    CString& Trim();
    int Insert(int index, WCHAR ch);
    int Delete(int index, int count = 1);

    // printf-style formatting: flags '-' '0', width, precision for %s; conversions
    // d i u x X c s (s takes a const WCHAR*) and %%. Unknown conversions are copied literally.
    void Format(const WCHAR* fmt, ...);
    static CString Formatted(const WCHAR* fmt, ...);

    CString& operator=(const WCHAR* psz) { m_str = psz ? psz : u""; return *this; }
    CString& operator+=(const CString& o) { m_str += o.m_str; return *this; }
    CString& operator+=(const WCHAR* o) { m_str += (o ? o : u""); return *this; }
    CString& operator+=(WCHAR ch) { m_str += ch; return *this; }

    friend CString operator+(const CString& a, const CString& b) { return CString(a.m_str + b.m_str); }
    friend CString operator+(const CString& a, const WCHAR* b) { return CString(a.m_str + (b ? b : u"")); }
    friend CString operator+(const WCHAR* a, const CString& b) { return CString((a ? std::u16string(a) : std::u16string()) + b.m_str); }
    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }
    friend bool operator==(const CString& a, const WCHAR* b) { return a.m_str == (b ? b : u""); }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
    friend bool operator!=(const CString& a, const WCHAR* b) { return !(a == b); }
    friend bool operator<(const CString& a, const CString& b) { return a.m_str < b.m_str; }

private:
    std::u16string m_str;
};

// Length of a zero-terminated UTF-16 text within at most maxUnits units.
std::size_t WcsNLen(const WCHAR* s, std::size_t maxUnits);
// Copies src into a fixed field of `units` units, always zero-terminating; returns false
// (and writes nothing) if src does not fit.
bool WcsCopyField(WCHAR* dst, std::size_t units, const CString& src);
// Parses hexadecimal digits from the start of s, stopping at the first non-digit (like
// wcstoul base 16 without sign or prefix handling beyond an optional "0x").
unsigned long WcsToULong16(const WCHAR* s);
