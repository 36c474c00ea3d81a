// GDI on the system's own objects: fonts, bitmaps and icons are real handles; a CDC wraps a
// real device context. Images are registered by the resource module as on every platform and
// become system bitmaps and icons from their embedded pixels.
#include <map>
#include <memory>

#include "platform/ui/win32/Native.h"
#include "platform/ui/win32/WinInternal.h"

namespace nat = platform::ui::native;
using namespace platform::ui::w32;

namespace {
// The tables are never destroyed: GDI objects held by static objects are freed after this
// file's statics would be, and must still find them.
auto& g_images = *new std::map<std::pair<int, bool>, const platform::ui::ImageResource*>;
auto& g_iconCache = *new std::map<int, HICON>;
// Temporary wrappers handed out by FromHandle, one per handle. A wrapper does not own its
// handle: it is detached before it goes.
auto& g_dcWrappers = *new std::map<void*, std::unique_ptr<CDC>>;
auto& g_fontWrappers = *new std::map<void*, std::unique_ptr<CFont>>;
auto& g_bitmapWrappers = *new std::map<void*, std::unique_ptr<CBitmap>>;

template <class T>
void DropWrapper(std::map<void*, std::unique_ptr<T>>& wrappers, void* h)
{
    auto it = wrappers.find(h);
    if (it == wrappers.end()) return;
    std::unique_ptr<T> w = std::move(it->second);
    wrappers.erase(it);
    w->Detach();
}

const platform::ui::ImageResource* FindImageResource(int id, bool icon)
{
    auto it = g_images.find({id, icon});
    return it == g_images.end() || !it->second->pPixels ? nullptr : it->second;
}
} // namespace

// ---- system colours and metrics ------------------------------------------------------------

DWORD GetSysColor(int index) { return nat::SysColor(index); }
int GetSystemMetrics(int index) { return nat::SystemMetric(index); }

// ---- GDI objects ---------------------------------------------------------------------------

BOOL DeleteObject(HGDIOBJ h)
{
    if (!h) return FALSE;
    for (const auto& [id, icon] : g_iconCache)
        if (icon == h) return TRUE; // shared icons stay
    DropWrapper(g_fontWrappers, h);
    DropWrapper(g_bitmapWrappers, h);
    return nat::DeleteObject(h) ? TRUE : FALSE;
}

HBITMAP LoadBitmapW(HINSTANCE, LPCWSTR name)
{
    if (!IS_INTRESOURCE(name)) return nullptr;
    const auto* img = FindImageResource(static_cast<int>(reinterpret_cast<std::uintptr_t>(name)), false);
    return img ? static_cast<HBITMAP>(nat::CreateBitmap(img->cx, img->cy, img->pPixels)) : nullptr;
}

HICON LoadIconW(HINSTANCE, LPCWSTR name)
{
    if (!IS_INTRESOURCE(name)) return nullptr;
    const int id = static_cast<int>(reinterpret_cast<std::uintptr_t>(name));
    auto c = g_iconCache.find(id);
    if (c != g_iconCache.end()) return c->second;
    const auto* img = FindImageResource(id, true);
    HICON h = img ? static_cast<HICON>(nat::CreateIcon(img->cx, img->cy, img->pPixels)) : nullptr;
    // The executable's own icon resource (the application icon) when the pixels are not here.
    if (!h) h = static_cast<HICON>(nat::LoadIconResource(id));
    if (h) g_iconCache.emplace(id, h);
    return h;
}

int CBitmap::GetBitmap(BITMAP* bm) const
{
    int cx = 0, cy = 0;
    if (!bm || !m_hObject || !nat::BitmapSize(m_hObject, cx, cy)) return 0;
    *bm = BITMAP{};
    bm->bmWidth = cx;
    bm->bmHeight = cy;
    bm->bmWidthBytes = cx * 4;
    return static_cast<int>(sizeof(BITMAP));
}

CBitmap* CBitmap::FromHandle(HBITMAP h)
{
    if (!h) return nullptr;
    auto& w = g_bitmapWrappers[h];
    if (!w) {
        w = std::make_unique<CBitmap>();
        w->m_hObject = h;
    }
    return w.get();
}

CFont* CFont::FromHandle(HFONT h)
{
    if (!h) return nullptr;
    auto& w = g_fontWrappers[h];
    if (!w) {
        w = std::make_unique<CFont>();
        w->m_hObject = h;
    }
    return w.get();
}

BOOL CFont::CreatePointFont(int nPointSize, LPCWSTR face, CDC* pDC)
{
    LOGFONTW lf;
    const int dpi = pDC ? pDC->GetDeviceCaps(LOGPIXELSY) : ::GetDeviceCaps(nullptr, LOGPIXELSY);
    lf.lfHeight = -MulDiv(nPointSize, dpi, 720);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    for (int i = 0; face && i < LF_FACESIZE - 1 && face[i]; ++i) lf.lfFaceName[i] = face[i];
    return CreateFontIndirect(&lf);
}

BOOL CFont::CreateFontIndirect(const LOGFONTW* lf)
{
    if (!lf || m_hObject) return FALSE;
    nat::Font f;
    f.height = lf->lfHeight;
    f.width = lf->lfWidth;
    f.escapement = lf->lfEscapement;
    f.orientation = lf->lfOrientation;
    f.weight = lf->lfWeight;
    f.italic = lf->lfItalic;
    f.underline = lf->lfUnderline;
    f.strikeOut = lf->lfStrikeOut;
    f.charSet = lf->lfCharSet;
    f.outPrecision = lf->lfOutPrecision;
    f.clipPrecision = lf->lfClipPrecision;
    f.quality = lf->lfQuality;
    f.pitchAndFamily = lf->lfPitchAndFamily;
    for (int i = 0; i < LF_FACESIZE; ++i) f.face[i] = lf->lfFaceName[i];
    m_hObject = nat::MakeFont(f);
    return m_hObject ? TRUE : FALSE;
}

int CFont::GetLogFont(LOGFONTW* lf) const
{
    nat::Font f;
    if (!lf || !m_hObject || !nat::GetFont(m_hObject, f)) return 0;
    *lf = LOGFONTW{};
    lf->lfHeight = f.height;
    lf->lfWidth = f.width;
    lf->lfEscapement = f.escapement;
    lf->lfOrientation = f.orientation;
    lf->lfWeight = f.weight;
    lf->lfItalic = f.italic;
    lf->lfUnderline = f.underline;
    lf->lfStrikeOut = f.strikeOut;
    lf->lfCharSet = f.charSet;
    lf->lfOutPrecision = f.outPrecision;
    lf->lfClipPrecision = f.clipPrecision;
    lf->lfQuality = f.quality;
    lf->lfPitchAndFamily = f.pitchAndFamily;
    for (int i = 0; i < LF_FACESIZE; ++i) lf->lfFaceName[i] = f.face[i];
    return static_cast<int>(sizeof(LOGFONTW));
}

// ---- device contexts -------------------------------------------------------------------------

COLORREF GetBkColor(HDC hdc) { return hdc ? nat::GetBkColor(hdc) : 0; }
COLORREF SetBkColor(HDC hdc, COLORREF c) { return hdc ? nat::SetBkColor(hdc, c) : 0; }
COLORREF GetTextColor(HDC hdc) { return hdc ? nat::GetTextColor(hdc) : 0; }
COLORREF SetTextColor(HDC hdc, COLORREF c) { return hdc ? nat::SetTextColor(hdc, c) : 0; }
int SetBkMode(HDC hdc, int mode) { return hdc ? nat::SetBkMode(hdc, mode) : 0; }
int GetBkMode(HDC hdc) { return hdc ? nat::GetBkMode(hdc) : 0; }
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) { return hdc && h ? nat::SelectObject(hdc, h) : nullptr; }
int GetDeviceCaps(HDC hdc, int index) { return nat::GetDeviceCaps(hdc, index); }
BOOL DrawIcon(HDC hdc, int x, int y, HICON hIcon) { return hdc && hIcon && nat::DrawIcon(hdc, x, y, hIcon) ? TRUE : FALSE; }

CDC* CDC::FromHandle(HDC hDC)
{
    auto& w = g_dcWrappers[hDC];
    if (!w) {
        w = std::make_unique<CDC>();
        w->m_hDC = hDC;
    }
    return w.get();
}

void CDC::FillSolidRect(LPCRECT r, COLORREF clr)
{
    if (r && m_hDC) nat::FillSolid(m_hDC, nat::Rect{r->left, r->top, r->right, r->bottom}, clr);
}

void CDC::FillSolidRect(int x, int y, int cx, int cy, COLORREF clr)
{
    if (m_hDC) nat::FillSolid(m_hDC, nat::Rect{x, y, x + cx, y + cy}, clr);
}

CFont* CDC::SelectObject(CFont* pFont)
{
    if (!pFont || !m_hDC) return nullptr;
    return CFont::FromHandle(static_cast<HFONT>(nat::SelectObject(m_hDC, pFont->m_hObject)));
}

CBitmap* CDC::SelectObject(CBitmap* pBitmap)
{
    if (!pBitmap || !m_hDC) return nullptr;
    return CBitmap::FromHandle(static_cast<HBITMAP>(nat::SelectObject(m_hDC, pBitmap->m_hObject)));
}

BOOL CDC::TextOut(int x, int y, LPCWSTR s, int n) { return m_hDC && s && nat::DrawTextAt(m_hDC, x, y, s, n) ? TRUE : FALSE; }

CSize CDC::GetTextExtent(const CString& str) const
{
    int cx = 0, cy = 0;
    if (m_hDC) nat::TextExtent(m_hDC, str.GetString(), str.GetLength(), cx, cy);
    return CSize(cx, cy);
}

namespace {
// The system's paint state of each CPaintDC, kept beside it (the header's PAINTSTRUCT has
// only the public members).
auto& g_paints = *new std::map<const CPaintDC*, nat::Paint>;
} // namespace

CPaintDC::CPaintDC(CWnd* pWnd)
{
    m_hWnd = pWnd ? pWnd->m_hWnd : nullptr;
    void* real = RealOf(m_hWnd);
    if (!real) return;
    nat::Paint& p = g_paints[this];
    m_hDC = static_cast<HDC>(nat::BeginPaint(real, p));
    m_bOwnDC = true;
    m_ps.hdc = m_hDC;
    m_ps.fErase = p.erase ? TRUE : FALSE;
    m_ps.rcPaint = RECT{p.rc.left, p.rc.top, p.rc.right, p.rc.bottom};
}

CPaintDC::~CPaintDC()
{
    auto it = g_paints.find(this);
    if (it == g_paints.end()) return;
    if (void* real = RealOf(m_hWnd); real && m_bOwnDC) nat::EndPaint(real, it->second);
    g_dcWrappers.erase(m_hDC);
    g_paints.erase(it);
}

// ---- images and dialog units -----------------------------------------------------------------

namespace platform::ui {

void RegisterImageResource(const ImageResource* img)
{
    if (img) g_images[{img->nID, img->bIcon}] = img;
}

DialogBaseUnits GetDialogBaseUnits(const WCHAR* face, int points)
{
    DialogBaseUnits u{};
    nat::DialogBaseUnits(face ? face : u"MS Shell Dlg", points, u.cx, u.cy);
    return u;
}

} // namespace platform::ui
