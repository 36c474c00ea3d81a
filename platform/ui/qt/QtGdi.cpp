// GDI objects (bitmaps, fonts, icons) as handles over QImage/QFont, device contexts over the
// QPainter of a paint, image resources, and fixed system colours and metrics.
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>
#include <map>

#include "platform/ui/qt/QtInternal.h"

namespace platform::ui::detail {
namespace {

enum class GdiKind { Bitmap, Font, Icon };

struct GdiObject {
    GdiKind kind;
    QImage image;
    QFont font;
    LOGFONTW lf{};
    bool shared = false; // icons from resources: DeleteObject leaves them
    std::unique_ptr<CGdiObject> wrapper;
    GdiObject() = default;
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    ~GdiObject()
    {
        if (wrapper) wrapper->m_hObject = nullptr; // the wrapper must not free us again
    }
};

// Never freed: objects with static storage may release handles during exit.
auto& g_gdi = *new std::map<std::uintptr_t, std::unique_ptr<GdiObject>>;
std::uintptr_t g_nextGdi = 0x40000000u;
auto& g_iconCache = *new std::map<int, HICON>;

struct ResourceKey {
    int id;
    bool icon;
    bool operator<(const ResourceKey& o) const { return id != o.id ? id < o.id : icon < o.icon; }
};
auto& g_imageResources = *new std::map<ResourceKey, const ImageResource*>;
auto& g_runtimeImages = *new std::map<ResourceKey, QImage>;

std::uintptr_t NewGdi(std::unique_ptr<GdiObject> o)
{
    const std::uintptr_t h = g_nextGdi;
    g_nextGdi += 4;
    g_gdi.emplace(h, std::move(o));
    return h;
}

GdiObject* FindGdi(const void* h)
{
    auto it = g_gdi.find(reinterpret_cast<std::uintptr_t>(h));
    return it == g_gdi.end() ? nullptr : it->second.get();
}

QImage ResourceImage(int id, bool icon)
{
    auto rt = g_runtimeImages.find(ResourceKey{id, icon});
    if (rt != g_runtimeImages.end()) return rt->second;
    auto it = g_imageResources.find(ResourceKey{id, icon});
    if (it == g_imageResources.end() || !it->second->pPng) return {};
    QImage img;
    if (!img.loadFromData(it->second->pPng, static_cast<int>(it->second->cbPng), "PNG")) return {};
    return img;
}

// ---- device contexts ---------------------------------------------------------------------

struct DcState {
    QPainter* painter = nullptr;
    HWND hwnd = nullptr;
    COLORREF bk = 0;
    COLORREF text = 0;
    int bkMode = OPAQUE;
    HFONT font = nullptr; // null: the window's font
    QFont defaultFont;
    CDC cdc;
};
auto& g_dcs = *new std::map<std::uintptr_t, std::unique_ptr<DcState>>;
std::uintptr_t g_nextDc = 0x60000000u;

DcState* FindDc(HDC h)
{
    auto it = g_dcs.find(reinterpret_cast<std::uintptr_t>(h));
    return it == g_dcs.end() ? nullptr : it->second.get();
}

// Stand-in for the font a DC starts with, so that selecting it back works like any other.
HFONT StockFont()
{
    static HFONT h = [] {
        auto o = std::make_unique<GdiObject>();
        o->kind = GdiKind::Font;
        o->shared = true;
        return reinterpret_cast<HFONT>(NewGdi(std::move(o)));
    }();
    return h;
}

QFont DcFont(const DcState& dc)
{
    if (!dc.font || dc.font == StockFont()) return dc.defaultFont;
    return FontOf(dc.font, dc.defaultFont);
}

bool HasFamily(const QString& f)
{
    static const QStringList families = QFontDatabase::families();
    return families.contains(f, Qt::CaseInsensitive);
}

} // namespace

QColor ToQColor(COLORREF c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); }

int PointsToPixels(int points) { return MulDiv(points, kLogPixels, 72); }

// Windows face names mapped to installed fonts of the same kind; Chinese text falls back to
// a CJK face in every case.
QFont MakeFont(const CString& face, int pixelHeight, LONG weight, bool italic)
{
    const QString name = QString::fromUtf16(face.GetString(), face.GetLength());
    QStringList wanted;
    if (!name.isEmpty() && HasFamily(name)) wanted << name;
    const QString lower = name.toLower();
    const bool song = name == QStringLiteral("宋体") || name == QStringLiteral("新宋体") || lower == "simsun" || lower == "nsimsun";
    if (song) wanted << "Noto Serif CJK SC" << "AR PL UMing CN" << "WenQuanYi Micro Hei" << "Noto Sans CJK SC";
    else wanted << "Liberation Sans" << "Nimbus Sans" << "DejaVu Sans" << "WenQuanYi Micro Hei" << "Noto Sans CJK SC";
    wanted << "Droid Sans Fallback";
    QStringList present;
    for (const QString& f : wanted)
        if (HasFamily(f) && !present.contains(f)) present << f;
    QFont font;
    if (!present.isEmpty()) font.setFamilies(present);
    font.setPixelSize(std::max(1, pixelHeight));
    font.setWeight(weight >= FW_BOLD ? QFont::Bold : QFont::Normal);
    font.setItalic(italic);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

QFont FontOf(HFONT h, const QFont& fallback)
{
    GdiObject* o = FindGdi(h);
    return o && o->kind == GdiKind::Font && h != StockFont() ? o->font : fallback;
}

QImage BitmapImage(HBITMAP h)
{
    GdiObject* o = FindGdi(h);
    return o && o->kind == GdiKind::Bitmap ? o->image : QImage();
}

QImage IconImage(HICON h)
{
    GdiObject* o = FindGdi(h);
    return o && o->kind == GdiKind::Icon ? o->image : QImage();
}

HDC BeginDc(QPainter* painter, HWND hwnd, const QFont& defaultFont)
{
    auto st = std::make_unique<DcState>();
    st->painter = painter;
    st->hwnd = hwnd;
    // What the dialog gives a static's DC before it paints: face background, window text.
    st->bk = GetSysColor(COLOR_BTNFACE);
    st->text = GetSysColor(COLOR_WINDOWTEXT);
    st->font = StockFont();
    st->defaultFont = defaultFont;
    const std::uintptr_t h = g_nextDc;
    g_nextDc += 4;
    st->cdc.m_hDC = reinterpret_cast<HDC>(h);
    g_dcs.emplace(h, std::move(st));
    return reinterpret_cast<HDC>(h);
}

void EndDc(HDC hdc) { g_dcs.erase(reinterpret_cast<std::uintptr_t>(hdc)); }

} // namespace platform::ui::detail

using namespace platform::ui::detail;

// ---- system colours and metrics ------------------------------------------------------------

DWORD GetSysColor(int index)
{
    switch (index) {
    case COLOR_BTNFACE: return RGB(0xF0, 0xF0, 0xF0);
    case COLOR_WINDOW: return RGB(0xFF, 0xFF, 0xFF);
    case COLOR_GRAYTEXT: return RGB(0x6D, 0x6D, 0x6D);
    case COLOR_WINDOWTEXT:
    case COLOR_BTNTEXT:
    default: return RGB(0, 0, 0);
    }
}

int GetSystemMetrics(int index)
{
    switch (index) {
    case SM_CXICON: case SM_CYICON: return 32;
    case SM_CXSMICON: case SM_CYSMICON: return 16;
    case SM_CXSCREEN: return 1920;
    case SM_CYSCREEN: return 1080;
    default: return 0;
    }
}

// ---- GDI objects ---------------------------------------------------------------------------

BOOL DeleteObject(HGDIOBJ h)
{
    auto it = g_gdi.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == g_gdi.end() || it->second->shared) return FALSE;
    if (it->second->wrapper) it->second->wrapper->m_hObject = nullptr;
    g_gdi.erase(it);
    return TRUE;
}

HBITMAP LoadBitmapW(HINSTANCE, LPCWSTR name)
{
    if (!IS_INTRESOURCE(name)) return nullptr;
    QImage img = ResourceImage(static_cast<int>(reinterpret_cast<std::uintptr_t>(name)), false);
    if (img.isNull()) return nullptr;
    auto o = std::make_unique<GdiObject>();
    o->kind = GdiKind::Bitmap;
    o->image = std::move(img);
    return reinterpret_cast<HBITMAP>(NewGdi(std::move(o)));
}

HICON LoadIconW(HINSTANCE, LPCWSTR name)
{
    if (!IS_INTRESOURCE(name)) return nullptr;
    const int id = static_cast<int>(reinterpret_cast<std::uintptr_t>(name));
    auto c = g_iconCache.find(id);
    if (c != g_iconCache.end()) return c->second;
    QImage img = ResourceImage(id, true);
    if (img.isNull()) return nullptr;
    auto o = std::make_unique<GdiObject>();
    o->kind = GdiKind::Icon;
    o->image = std::move(img);
    o->shared = true;
    HICON h = reinterpret_cast<HICON>(NewGdi(std::move(o)));
    g_iconCache.emplace(id, h);
    return h;
}

int CBitmap::GetBitmap(BITMAP* bm) const
{
    if (!bm) return 0;
    QImage img = BitmapImage(static_cast<HBITMAP>(m_hObject));
    if (img.isNull()) return 0;
    *bm = BITMAP{};
    bm->bmWidth = img.width();
    bm->bmHeight = img.height();
    bm->bmWidthBytes = img.width() * 4;
    return static_cast<int>(sizeof(BITMAP));
}

namespace {
template <class T>
T* WrapperOf(HGDIOBJ h)
{
    GdiObject* o = FindGdi(h);
    if (!o) return nullptr;
    if (!o->wrapper) {
        o->wrapper = std::make_unique<T>();
        o->wrapper->m_hObject = h;
    }
    return dynamic_cast<T*>(o->wrapper.get());
}
} // namespace

CBitmap* CBitmap::FromHandle(HBITMAP h) { return WrapperOf<CBitmap>(h); }
CFont* CFont::FromHandle(HFONT h) { return WrapperOf<CFont>(h); }

BOOL CFont::CreatePointFont(int nPointSize, LPCWSTR face, CDC* pDC)
{
    LOGFONTW lf;
    const int dpi = pDC ? pDC->GetDeviceCaps(LOGPIXELSY) : kLogPixels;
    lf.lfHeight = -MulDiv(nPointSize, dpi, 720);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    if (face) WcsCopyField(lf.lfFaceName, LF_FACESIZE, CString(face).Left(LF_FACESIZE - 1));
    return CreateFontIndirect(&lf);
}

BOOL CFont::CreateFontIndirect(const LOGFONTW* lf)
{
    if (!lf || m_hObject) return FALSE;
    auto o = std::make_unique<GdiObject>();
    o->kind = GdiKind::Font;
    o->lf = *lf;
    const LONG h = lf->lfHeight;
    // Negative heights are the character height; positive ones the cell, of which the
    // character takes about four fifths.
    const int px = h < 0 ? -h : (h > 0 ? MulDiv(h, 4, 5) : PointsToPixels(9));
    o->font = MakeFont(CString(lf->lfFaceName, static_cast<int>(WcsNLen(lf->lfFaceName, LF_FACESIZE))), px,
                       lf->lfWeight, lf->lfItalic != 0);
    m_hObject = reinterpret_cast<HGDIOBJ>(NewGdi(std::move(o)));
    return TRUE;
}

int CFont::GetLogFont(LOGFONTW* lf) const
{
    GdiObject* o = FindGdi(m_hObject);
    if (!lf || !o || o->kind != GdiKind::Font) return 0;
    *lf = o->lf;
    return static_cast<int>(sizeof(LOGFONTW));
}

// ---- device contexts -------------------------------------------------------------------------

COLORREF GetBkColor(HDC hdc)
{
    DcState* d = FindDc(hdc);
    return d ? d->bk : 0xFFFFFFFFu; // CLR_INVALID
}
COLORREF SetBkColor(HDC hdc, COLORREF c)
{
    DcState* d = FindDc(hdc);
    if (!d) return 0xFFFFFFFFu;
    std::swap(d->bk, c);
    return c;
}
COLORREF GetTextColor(HDC hdc)
{
    DcState* d = FindDc(hdc);
    return d ? d->text : 0xFFFFFFFFu;
}
COLORREF SetTextColor(HDC hdc, COLORREF c)
{
    DcState* d = FindDc(hdc);
    if (!d) return 0xFFFFFFFFu;
    std::swap(d->text, c);
    return c;
}
int SetBkMode(HDC hdc, int mode)
{
    DcState* d = FindDc(hdc);
    if (!d || (mode != OPAQUE && mode != TRANSPARENT)) return 0;
    std::swap(d->bkMode, mode);
    return mode;
}
int GetBkMode(HDC hdc)
{
    DcState* d = FindDc(hdc);
    return d ? d->bkMode : 0;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h)
{
    DcState* d = FindDc(hdc);
    GdiObject* o = FindGdi(h);
    if (!d || !o) return nullptr;
    if (o->kind == GdiKind::Font) {
        HFONT old = d->font;
        d->font = static_cast<HFONT>(h);
        return old;
    }
    return nullptr; // bitmaps are not selected into window DCs here
}

int GetDeviceCaps(HDC, int index)
{
    return index == LOGPIXELSX || index == LOGPIXELSY ? kLogPixels : 0;
}

BOOL DrawIcon(HDC hdc, int x, int y, HICON hIcon)
{
    DcState* d = FindDc(hdc);
    QImage img = IconImage(hIcon);
    if (!d || img.isNull()) return FALSE;
    if (d->painter) {
        d->painter->setRenderHint(QPainter::SmoothPixmapTransform, true);
        d->painter->drawImage(QRect(x, y, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)), img);
    }
    return TRUE;
}

CDC* CDC::FromHandle(HDC hDC)
{
    if (DcState* d = FindDc(hDC)) return &d->cdc;
    static CDC inert; // draws nothing, reports invalid colours
    return &inert;
}

void CDC::FillSolidRect(LPCRECT r, COLORREF clr)
{
    if (!r) return;
    FillSolidRect(r->left, r->top, r->right - r->left, r->bottom - r->top, clr);
}

void CDC::FillSolidRect(int x, int y, int cx, int cy, COLORREF clr)
{
    DcState* d = FindDc(m_hDC);
    if (!d) return;
    d->bk = clr; // filling sets the background colour, as the native call does
    if (d->painter) d->painter->fillRect(QRect(x, y, cx, cy), ToQColor(clr));
}

CFont* CDC::SelectObject(CFont* pFont)
{
    if (!pFont) return nullptr;
    HGDIOBJ old = ::SelectObject(m_hDC, pFont->m_hObject);
    return old ? CFont::FromHandle(static_cast<HFONT>(old)) : nullptr;
}

CBitmap* CDC::SelectObject(CBitmap*) { return nullptr; }

BOOL CDC::TextOut(int x, int y, LPCWSTR s, int n)
{
    DcState* d = FindDc(m_hDC);
    if (!d || !s || n < 0) return FALSE;
    if (!d->painter) return TRUE;
    const QString text = QString::fromUtf16(s, n);
    const QFont f = DcFont(*d);
    const QFontMetrics fm(f);
    d->painter->setFont(f);
    if (d->bkMode == OPAQUE) d->painter->fillRect(QRect(x, y, fm.horizontalAdvance(text), fm.height()), ToQColor(d->bk));
    d->painter->setPen(ToQColor(d->text));
    d->painter->drawText(x, y + fm.ascent(), text); // (x, y) is the top of the line, not the baseline
    return TRUE;
}

CSize CDC::GetTextExtent(const CString& str) const
{
    DcState* d = FindDc(m_hDC);
    if (!d) return CSize();
    const QFontMetrics fm(DcFont(*d));
    const QString text = QString::fromUtf16(str.GetString(), str.GetLength());
    return CSize(fm.horizontalAdvance(text), fm.height());
}

CPaintDC::CPaintDC(CWnd* pWnd)
{
    m_hWnd = pWnd ? pWnd->m_hWnd : nullptr;
    Window* w = Find(m_hWnd);
    QPainter* p = w ? w->paintPainter : nullptr;
    QFont f = w && w->widget ? w->widget->font() : QFont();
    m_hDC = BeginDc(p, m_hWnd, f);
    m_bOwnDC = true;
    m_ps.hdc = m_hDC;
    m_ps.fErase = FALSE;
    ::GetClientRect(m_hWnd, &m_ps.rcPaint);
}

CPaintDC::~CPaintDC()
{
    if (m_bOwnDC) EndDc(m_hDC);
}

// ---- resources -----------------------------------------------------------------------------

namespace platform::ui {

void RegisterImageResource(const ImageResource* img)
{
    if (!img) return;
    g_imageResources[ResourceKey{img->nID, img->bIcon}] = img;
    g_runtimeImages.erase(ResourceKey{img->nID, img->bIcon});
}

void RegisterImageResource(int nID, bool bIcon, const QImage& image)
{
    g_runtimeImages[ResourceKey{nID, bIcon}] = image;
}

DialogBaseUnits GetDialogBaseUnits(const WCHAR* face, int points)
{
    const QFont f = MakeFont(CString(face ? face : u"MS Shell Dlg"), PointsToPixels(points > 0 ? points : 8));
    const QFontMetrics fm(f);
    const int width = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogBaseUnits{(width / 26 + 1) / 2, fm.height()};
}

QImage ImageOfBitmap(HBITMAP h) { return BitmapImage(h); }
QImage ImageOfIcon(HICON h) { return IconImage(h); }

} // namespace platform::ui
