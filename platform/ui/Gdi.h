// Drawing: rectangles, GDI objects (bitmaps, fonts), device contexts, icons and system
// colours. A device context exists while a window paints; it draws with the QPainter of that
// paint. Outside a paint a CDC draws nothing, as a DC of a hidden window would.
#pragma once
#include "platform/CString.h"
#include "platform/ui/WinUser.h"

struct POINT {
    LONG x = 0;
    LONG y = 0;
};
struct SIZE {
    LONG cx = 0;
    LONG cy = 0;
};
struct RECT {
    LONG left = 0;
    LONG top = 0;
    LONG right = 0;
    LONG bottom = 0;
};
using LPRECT = RECT*;
using LPCRECT = const RECT*;
using LPPOINT = POINT*;

class CPoint : public POINT
{
public:
    CPoint() = default;
    CPoint(int x_, int y_) { x = x_; y = y_; }
};

class CSize : public SIZE
{
public:
    CSize() = default;
    CSize(int cx_, int cy_) { cx = cx_; cy = cy_; }
};

class CRect : public RECT
{
public:
    CRect() = default;
    CRect(int l, int t, int r, int b) { left = l; top = t; right = r; bottom = b; }
    CRect(const RECT& r) : RECT(r) {}
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool IsRectEmpty() const { return right <= left || bottom <= top; }
    CPoint TopLeft() const { return CPoint(left, top); }
    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
};

BOOL SetRect(LPRECT r, int l, int t, int rr, int b);

// ---- system colours, metrics ---------------------------------------------------------------
// Fixed classic values, so that pictures and tests are the same on every desktop.
DWORD GetSysColor(int index);
int GetSystemMetrics(int index);
inline constexpr int LOGPIXELSX = 88;
inline constexpr int LOGPIXELSY = 90;
// Drawing runs at 96 dots per inch, the Windows default, whatever the screen reports.
inline constexpr int kLogPixels = 96;
int MulDiv(int number, int numerator, int denominator);

// ---- GDI objects ---------------------------------------------------------------------------
struct BITMAP {
    LONG bmType = 0;
    LONG bmWidth = 0;
    LONG bmHeight = 0;
    LONG bmWidthBytes = 0;
    WORD bmPlanes = 1;
    WORD bmBitsPixel = 32;
    LPVOID bmBits = nullptr;
};

inline constexpr int LF_FACESIZE = 32;
struct LOGFONTW {
    LONG lfHeight = 0;
    LONG lfWidth = 0;
    LONG lfEscapement = 0;
    LONG lfOrientation = 0;
    LONG lfWeight = 0;
    BYTE lfItalic = 0;
    BYTE lfUnderline = 0;
    BYTE lfStrikeOut = 0;
    BYTE lfCharSet = 0;
    BYTE lfOutPrecision = 0;
    BYTE lfClipPrecision = 0;
    BYTE lfQuality = 0;
    BYTE lfPitchAndFamily = 0;
    WCHAR lfFaceName[LF_FACESIZE] = {};
};
using LOGFONT = LOGFONTW;
inline constexpr LONG FW_NORMAL = 400;
inline constexpr LONG FW_BOLD = 700;
inline constexpr BYTE DEFAULT_CHARSET = 1;

// Frees a bitmap or font made by this layer; icons from resources are shared and stay.
BOOL DeleteObject(HGDIOBJ h);

class CDC;

class CGdiObject
{
public:
    CGdiObject() = default;
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;
    virtual ~CGdiObject();
    HGDIOBJ m_hObject = nullptr;
    HGDIOBJ GetSafeHandle() const { return m_hObject; }
    BOOL Attach(HGDIOBJ h);
    HGDIOBJ Detach();
    BOOL DeleteObject();
};

class CBitmap : public CGdiObject
{
public:
    // Bitmap resource of the module (res/), by ID.
    BOOL LoadBitmap(UINT nIDResource);
    BOOL LoadBitmap(LPCWSTR lpszResourceName);
    int GetBitmap(BITMAP* pBitMap) const;
    operator HBITMAP() const { return static_cast<HBITMAP>(m_hObject); }
    static CBitmap* FromHandle(HBITMAP h);
};

class CFont : public CGdiObject
{
public:
    // nPointSize in tenths of a point, converted through pDC's vertical resolution (96 dpi
    // without a DC). Face names that do not exist here are mapped to installed fonts with
    // the same role (a CJK face for the Chinese faces, a sans face for the dialog faces).
    BOOL CreatePointFont(int nPointSize, LPCWSTR lpszFaceName, CDC* pDC = nullptr);
    BOOL CreateFontIndirect(const LOGFONTW* lpLogFont);
    int GetLogFont(LOGFONTW* pLogFont) const;
    operator HFONT() const { return static_cast<HFONT>(m_hObject); }
    static CFont* FromHandle(HFONT h);
};

// ---- device contexts -----------------------------------------------------------------------
inline constexpr int TRANSPARENT = 1;
inline constexpr int OPAQUE = 2;

COLORREF GetBkColor(HDC hdc);
COLORREF SetBkColor(HDC hdc, COLORREF c);
COLORREF GetTextColor(HDC hdc);
COLORREF SetTextColor(HDC hdc, COLORREF c);
int SetBkMode(HDC hdc, int mode);
int GetBkMode(HDC hdc);
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h);
int GetDeviceCaps(HDC hdc, int index);
// Draws an icon at the system icon size (SM_CXICON x SM_CYICON).
BOOL DrawIcon(HDC hdc, int x, int y, HICON hIcon);

class CDC
{
public:
    CDC() = default;
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;
    virtual ~CDC() = default;
    HDC m_hDC = nullptr;
    HDC GetSafeHdc() const { return m_hDC; }
    operator HDC() const { return m_hDC; }
    // The CDC of a live device context (owned by it); a stale handle gets an inert CDC.
    static CDC* FromHandle(HDC hDC);

    void FillSolidRect(LPCRECT lpRect, COLORREF clr);
    void FillSolidRect(int x, int y, int cx, int cy, COLORREF clr);
    COLORREF GetBkColor() const { return ::GetBkColor(m_hDC); }
    COLORREF SetBkColor(COLORREF c) { return ::SetBkColor(m_hDC, c); }
    COLORREF GetTextColor() const { return ::GetTextColor(m_hDC); }
    COLORREF SetTextColor(COLORREF c) { return ::SetTextColor(m_hDC, c); }
    int SetBkMode(int mode) { return ::SetBkMode(m_hDC, mode); }
    int GetBkMode() const { return ::GetBkMode(m_hDC); }
    CFont* SelectObject(CFont* pFont);
    CBitmap* SelectObject(CBitmap* pBitmap);
    BOOL TextOut(int x, int y, LPCWSTR lpszString, int nCount);
    BOOL TextOut(int x, int y, const CString& str) { return TextOut(x, y, str.GetString(), str.GetLength()); }
    CSize GetTextExtent(const CString& str) const;
    BOOL DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }
    BOOL DrawIcon(POINT pt, HICON hIcon) { return ::DrawIcon(m_hDC, pt.x, pt.y, hIcon); }
    int GetDeviceCaps(int index) const { return ::GetDeviceCaps(m_hDC, index); }
};

class CWnd;

struct PAINTSTRUCT {
    HDC hdc = nullptr;
    BOOL fErase = FALSE;
    RECT rcPaint;
};

// The device context of the paint the window is going through (WM_PAINT); outside one it
// draws nothing.
class CPaintDC : public CDC
{
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC() override;
    PAINTSTRUCT m_ps;

protected:
    HWND m_hWnd = nullptr;
    bool m_bOwnDC = false;
};

struct DRAWITEMSTRUCT {
    UINT CtlType = 0;
    UINT CtlID = 0;
    UINT itemID = 0;
    UINT itemAction = 0;
    UINT itemState = 0;
    HWND hwndItem = nullptr;
    HDC hDC = nullptr;
    RECT rcItem;
    std::uintptr_t itemData = 0;
};
using LPDRAWITEMSTRUCT = DRAWITEMSTRUCT*;
