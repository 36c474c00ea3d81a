// The only file of the Win32 dialog framework that includes <windows.h>: thin wrappers over
// user32, comctl32, comdlg32 and GDI with plain types (see Native.h).
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/ui/win32/Native.h"

namespace platform::ui::native {
namespace {

const wchar_t kRecordProp[] = L"TarvexRecord";
const wchar_t kOrigProp[] = L"TarvexOrigProc";
DispatchFn g_dispatch = nullptr;
InitDialogFn g_initDialog = nullptr;
HANDLE g_wake = nullptr;
HWND g_workWindow = nullptr;
void (*g_workHandler)() = nullptr;
std::atomic<bool> g_workPosted{false};
constexpr UINT kWorkMessage = WM_APP + 0x7A1;

LRESULT CALLBACK WorkWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == kWorkMessage) {
        g_workPosted.store(false); // work queued from here on posts again
        if (g_workHandler) g_workHandler();
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}
std::atomic<DWORD> g_guiThread{0};

HWND H(Handle h) { return static_cast<HWND>(h); }
const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }

LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    auto orig = reinterpret_cast<WNDPROC>(GetPropW(hwnd, kOrigProp));
    void* record = GetPropW(hwnd, kRecordProp);
    // Registered messages of the system (0xC000 and up) share numbers with the framework's
    // own, which never come this way: they go straight to the window's class.
    if (!record || !g_dispatch || msg >= 0xC000) return orig ? CallWindowProcW(orig, hwnd, msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        g_dispatch(record, msg, wp, lp);
        RemovePropW(hwnd, kRecordProp);
        RemovePropW(hwnd, kOrigProp);
        if (orig) SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(orig));
        return orig ? CallWindowProcW(orig, hwnd, msg, wp, lp) : 0;
    }
    return g_dispatch(record, msg, wp, lp);
}

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_INITDIALOG && !GetPropW(hwnd, kRecordProp) && g_initDialog)
        return g_initDialog(reinterpret_cast<void*>(lp), hwnd, wp, lp);
    return FALSE; // everything else is the dialog manager's
}

HDC ScreenDc() { return GetDC(nullptr); }

} // namespace

void Init(DispatchFn dispatch, InitDialogFn initDialog)
{
    g_dispatch = dispatch;
    g_initDialog = initDialog;
    if (!g_wake) g_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!g_workWindow) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &WorkWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TarvexWork";
        RegisterClassW(&wc);
        g_workWindow = CreateWindowExW(0, L"TarvexWork", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       GetModuleHandleW(nullptr), nullptr);
    }
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
}

Handle CreateDialogFromTemplate(const void* tmpl, Handle parent, void* context)
{
    return CreateDialogIndirectParamW(GetModuleHandleW(nullptr), static_cast<LPCDLGTEMPLATEW>(tmpl), H(parent), &DialogProc,
                                      reinterpret_cast<LPARAM>(context));
}

void Subclass(Handle h, void* record)
{
    HWND hwnd = H(h);
    if (GetPropW(hwnd, kRecordProp)) {
        SetPropW(hwnd, kRecordProp, record);
        return;
    }
    SetPropW(hwnd, kRecordProp, record);
    auto orig = SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassProc));
    SetPropW(hwnd, kOrigProp, reinterpret_cast<HANDLE>(orig));
}

void Unsubclass(Handle h)
{
    HWND hwnd = H(h);
    auto orig = reinterpret_cast<WNDPROC>(GetPropW(hwnd, kOrigProp));
    RemovePropW(hwnd, kRecordProp);
    RemovePropW(hwnd, kOrigProp);
    if (orig) SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(orig));
}

Lr CallDefault(Handle h, unsigned message, Wp wParam, Lp lParam)
{
    HWND hwnd = H(h);
    auto orig = reinterpret_cast<WNDPROC>(GetPropW(hwnd, kOrigProp));
    return orig ? CallWindowProcW(orig, hwnd, message, wParam, lParam) : DefWindowProcW(hwnd, message, wParam, lParam);
}

Lr Send(Handle h, unsigned message, Wp wParam, Lp lParam) { return SendMessageW(H(h), message, wParam, lParam); }
bool Post(Handle h, unsigned message, Wp wParam, Lp lParam) { return PostMessageW(H(h), message, wParam, lParam) != 0; }

std::vector<Handle> Children(Handle h)
{
    std::vector<Handle> out;
    for (HWND c = GetWindow(H(h), GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

int CtrlId(Handle h) { return GetDlgCtrlID(H(h)); }

std::u16string ClassName(Handle h)
{
    wchar_t buf[128] = {};
    const int n = GetClassNameW(H(h), buf, 128);
    return std::u16string(reinterpret_cast<const char16_t*>(buf), static_cast<std::size_t>(n > 0 ? n : 0));
}

std::uint32_t Style(Handle h) { return static_cast<std::uint32_t>(GetWindowLongPtrW(H(h), GWL_STYLE)); }
std::uint32_t ExStyle(Handle h) { return static_cast<std::uint32_t>(GetWindowLongPtrW(H(h), GWL_EXSTYLE)); }
void SetStyle(Handle h, std::uint32_t s) { SetWindowLongPtrW(H(h), GWL_STYLE, static_cast<LONG_PTR>(s)); }
void SetExStyle(Handle h, std::uint32_t s) { SetWindowLongPtrW(H(h), GWL_EXSTYLE, static_cast<LONG_PTR>(s)); }
bool IsWindowAlive(Handle h) { return h && IsWindow(H(h)); }
bool Destroy(Handle h) { return DestroyWindow(H(h)) != 0; }
bool Enable(Handle h, bool e) { return EnableWindow(H(h), e ? TRUE : FALSE) != 0; }
bool IsEnabled(Handle h) { return IsWindowEnabled(H(h)) != 0; }
bool Show(Handle h, int cmd) { return ShowWindow(H(h), cmd) != 0; }
bool IsVisible(Handle h) { return IsWindowVisible(H(h)) != 0; }
bool IsIconic(Handle h) { return ::IsIconic(H(h)) != 0; }

Rect ClientRect(Handle h)
{
    RECT r{};
    GetClientRect(H(h), &r);
    return Rect{r.left, r.top, r.right, r.bottom};
}

Rect WindowRect(Handle h)
{
    RECT r{};
    GetWindowRect(H(h), &r);
    return Rect{r.left, r.top, r.right, r.bottom};
}

Rect RectInParent(Handle h)
{
    RECT r{};
    GetWindowRect(H(h), &r);
    if (HWND p = GetParent(H(h)); p && (GetWindowLongPtrW(H(h), GWL_STYLE) & WS_CHILD))
        MapWindowPoints(nullptr, p, reinterpret_cast<POINT*>(&r), 2);
    return Rect{r.left, r.top, r.right, r.bottom};
}

void Move(Handle h, int x, int y, int cx, int cy, bool repaint) { MoveWindow(H(h), x, y, cx, cy, repaint ? TRUE : FALSE); }
Handle Focus() { return GetFocus(); }
Handle SetFocusTo(Handle h) { return SetFocus(H(h)); }

void NextDialogControl(Handle dlg, Handle from, bool previous)
{
    if (HWND next = GetNextDlgTabItem(H(dlg), H(from), previous ? TRUE : FALSE))
        SendMessageW(H(dlg), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), TRUE);
}

void Invalidate(Handle h, const Rect* r, bool erase)
{
    RECT rr{};
    if (r) rr = RECT{r->left, r->top, r->right, r->bottom};
    InvalidateRect(H(h), r ? &rr : nullptr, erase ? TRUE : FALSE);
}

void Update(Handle h) { UpdateWindow(H(h)); }
void SetForeground(Handle h) { SetForegroundWindow(H(h)); }
Handle Parent(Handle h) { return GetParent(H(h)); }
Handle Owner(Handle h) { return GetWindow(H(h), GW_OWNER); }

// ---- the loop ------------------------------------------------------------------------------

void Wake()
{
    if (g_wake) SetEvent(g_wake);
}

void SetWorkHandler(void (*handler)()) { g_workHandler = handler; }

void PostWork()
{
    if (g_workWindow && !g_workPosted.exchange(true) && !PostMessageW(g_workWindow, kWorkMessage, 0, 0))
        g_workPosted.store(false);
}

void Wait(std::uint32_t maxMs)
{
    if (!g_wake) g_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    MsgWaitForMultipleObjectsEx(1, &g_wake, maxMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void PumpPending()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        wchar_t cls[16] = {};
        if (root && GetClassNameW(root, cls, 16) && std::wcscmp(cls, L"#32770") == 0 && IsDialogMessageW(root, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool OnGuiThread()
{
    const DWORD t = g_guiThread.load();
    return t == 0 || t == GetCurrentThreadId();
}

void SetGuiThread() { g_guiThread.store(GetCurrentThreadId()); }

// ---- boxes, menus ----------------------------------------------------------------------------

int ShowMessageBox(Handle owner, const char16_t* text, const char16_t* caption, unsigned type)
{
    return MessageBoxW(H(owner), W(text), W(caption), type);
}

bool FileDialog(Handle owner, bool open, const std::u16string& filter, const std::u16string& initial,
                const std::u16string& initialDir, const std::u16string& defExt, std::uint32_t flags, std::u16string& chosen)
{
    wchar_t file[MAX_PATH * 4] = {};
    std::memcpy(file, initial.data(), std::min<std::size_t>(initial.size(), MAX_PATH * 4 - 1) * sizeof(wchar_t));
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = H(owner);
    ofn.lpstrFilter = filter.empty() ? nullptr : W(filter.c_str());
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH * 4;
    ofn.lpstrDefExt = defExt.empty() ? nullptr : W(defExt.c_str());
    // The system opens here the first time, then in the folder last used.
    ofn.lpstrInitialDir = initialDir.empty() ? nullptr : W(initialDir.c_str());
    ofn.Flags = flags | OFN_EXPLORER;
    const BOOL ok = open ? GetOpenFileNameW(&ofn) : GetSaveFileNameW(&ofn);
    if (!ok) return false;
    chosen.assign(reinterpret_cast<const char16_t*>(file));
    return true;
}

void Beep(unsigned type) { MessageBeep(type); }

short KeyState(int vk) { return GetKeyState(vk); }

bool ClipboardText(std::u16string& text)
{
    text.clear();
    if (!IsClipboardFormatAvailable(CF_UNICODETEXT) || !OpenClipboard(nullptr)) return false;
    bool ok = false;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* p = static_cast<const wchar_t*>(GlobalLock(data))) {
            const SIZE_T units = GlobalSize(data) / sizeof(wchar_t);
            std::size_t n = 0;
            while (n < units && p[n] != 0) ++n;
            text.assign(reinterpret_cast<const char16_t*>(p), n);
            GlobalUnlock(data);
            ok = true;
        }
    }
    CloseClipboard();
    return ok;
}
Handle SystemMenu(Handle h, bool revert) { return GetSystemMenu(H(h), revert ? TRUE : FALSE); }

bool AppendMenuItem(Handle menu, unsigned flags, std::uintptr_t id, const char16_t* text)
{
    return AppendMenuW(static_cast<HMENU>(menu), flags, id, W(text)) != 0;
}

bool RemoveMenuItem(Handle menu, unsigned position, unsigned flags)
{
    return RemoveMenu(static_cast<HMENU>(menu), position, flags) != 0;
}

int EnableMenuItem(Handle menu, unsigned item, unsigned flags) { return ::EnableMenuItem(static_cast<HMENU>(menu), item, flags); }

std::vector<MenuItem> MenuItems(Handle menu)
{
    std::vector<MenuItem> out;
    HMENU m = static_cast<HMENU>(menu);
    const int n = GetMenuItemCount(m);
    for (int i = 0; i < n; ++i) {
        wchar_t text[256] = {};
        MENUITEMINFOW mii{};
        mii.cbSize = sizeof(mii);
        mii.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_STRING;
        mii.dwTypeData = text;
        mii.cch = 255;
        if (!GetMenuItemInfoW(m, static_cast<UINT>(i), TRUE, &mii)) continue;
        MenuItem it;
        it.separator = (mii.fType & MFT_SEPARATOR) != 0;
        it.id = it.separator ? 0 : mii.wID;
        it.text.assign(reinterpret_cast<const char16_t*>(text));
        it.enabled = !(mii.fState & MFS_DISABLED);
        out.push_back(std::move(it));
    }
    return out;
}

// ---- drawing ---------------------------------------------------------------------------------

static_assert(sizeof(PAINTSTRUCT) - offsetof(PAINTSTRUCT, fRestore) <= sizeof(Paint::opaque));

Handle BeginPaint(Handle h, Paint& ps)
{
    PAINTSTRUCT p{};
    HDC dc = ::BeginPaint(H(h), &p);
    ps.hdc = dc;
    ps.erase = p.fErase != 0;
    ps.rc = Rect{p.rcPaint.left, p.rcPaint.top, p.rcPaint.right, p.rcPaint.bottom};
    std::memcpy(ps.opaque, reinterpret_cast<const char*>(&p) + offsetof(PAINTSTRUCT, fRestore),
                sizeof(PAINTSTRUCT) - offsetof(PAINTSTRUCT, fRestore));
    return dc;
}

void EndPaint(Handle h, Paint& ps)
{
    PAINTSTRUCT p{};
    p.hdc = static_cast<HDC>(ps.hdc);
    p.fErase = ps.erase;
    p.rcPaint = RECT{ps.rc.left, ps.rc.top, ps.rc.right, ps.rc.bottom};
    std::memcpy(reinterpret_cast<char*>(&p) + offsetof(PAINTSTRUCT, fRestore), ps.opaque,
                sizeof(PAINTSTRUCT) - offsetof(PAINTSTRUCT, fRestore));
    ::EndPaint(H(h), &p);
}

std::uint32_t GetBkColor(Handle hdc) { return ::GetBkColor(static_cast<HDC>(hdc)); }
std::uint32_t SetBkColor(Handle hdc, std::uint32_t c) { return ::SetBkColor(static_cast<HDC>(hdc), c); }
std::uint32_t GetTextColor(Handle hdc) { return ::GetTextColor(static_cast<HDC>(hdc)); }
std::uint32_t SetTextColor(Handle hdc, std::uint32_t c) { return ::SetTextColor(static_cast<HDC>(hdc), c); }
int SetBkMode(Handle hdc, int mode) { return ::SetBkMode(static_cast<HDC>(hdc), mode); }
int GetBkMode(Handle hdc) { return ::GetBkMode(static_cast<HDC>(hdc)); }
Handle SelectObject(Handle hdc, Handle obj) { return ::SelectObject(static_cast<HDC>(hdc), static_cast<HGDIOBJ>(obj)); }
int GetDeviceCaps(Handle hdc, int index)
{
    if (hdc) return ::GetDeviceCaps(static_cast<HDC>(hdc), index);
    HDC screen = ScreenDc();
    const int v = ::GetDeviceCaps(screen, index);
    ReleaseDC(nullptr, screen);
    return v;
}

void FillSolid(Handle hdc, const Rect& r, std::uint32_t colour)
{
    // As CDC::FillSolidRect: an opaque ExtTextOut, with the background colour restored.
    HDC dc = static_cast<HDC>(hdc);
    const COLORREF old = ::SetBkColor(dc, colour);
    RECT rr{r.left, r.top, r.right, r.bottom};
    ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rr, nullptr, 0, nullptr);
    ::SetBkColor(dc, old);
}

bool DrawTextAt(Handle hdc, int x, int y, const char16_t* s, int n) { return TextOutW(static_cast<HDC>(hdc), x, y, W(s), n) != 0; }

bool TextExtent(Handle hdc, const char16_t* s, int n, int& cx, int& cy)
{
    SIZE sz{};
    const BOOL ok = GetTextExtentPoint32W(static_cast<HDC>(hdc), W(s), n, &sz);
    cx = sz.cx;
    cy = sz.cy;
    return ok != 0;
}

bool DrawIcon(Handle hdc, int x, int y, Handle icon) { return ::DrawIcon(static_cast<HDC>(hdc), x, y, static_cast<HICON>(icon)) != 0; }
bool DeleteObject(Handle obj) { return ::DeleteObject(static_cast<HGDIOBJ>(obj)) != 0; }

Handle MakeFont(const Font& f)
{
    LOGFONTW lf{};
    lf.lfHeight = f.height;
    lf.lfWidth = f.width;
    lf.lfEscapement = f.escapement;
    lf.lfOrientation = f.orientation;
    lf.lfWeight = f.weight;
    lf.lfItalic = f.italic;
    lf.lfUnderline = f.underline;
    lf.lfStrikeOut = f.strikeOut;
    lf.lfCharSet = f.charSet;
    lf.lfOutPrecision = f.outPrecision;
    lf.lfClipPrecision = f.clipPrecision;
    lf.lfQuality = f.quality;
    lf.lfPitchAndFamily = f.pitchAndFamily;
    std::memcpy(lf.lfFaceName, f.face, sizeof(lf.lfFaceName));
    lf.lfFaceName[LF_FACESIZE - 1] = 0;
    return CreateFontIndirectW(&lf);
}

bool GetFont(Handle font, Font& f)
{
    LOGFONTW lf{};
    if (GetObjectW(static_cast<HGDIOBJ>(font), sizeof(lf), &lf) != sizeof(lf)) return false;
    f.height = lf.lfHeight;
    f.width = lf.lfWidth;
    f.escapement = lf.lfEscapement;
    f.orientation = lf.lfOrientation;
    f.weight = lf.lfWeight;
    f.italic = lf.lfItalic;
    f.underline = lf.lfUnderline;
    f.strikeOut = lf.lfStrikeOut;
    f.charSet = lf.lfCharSet;
    f.outPrecision = lf.lfOutPrecision;
    f.clipPrecision = lf.lfClipPrecision;
    f.quality = lf.lfQuality;
    f.pitchAndFamily = lf.lfPitchAndFamily;
    std::memcpy(f.face, lf.lfFaceName, sizeof(f.face));
    return true;
}

namespace {
HBITMAP DibFrom(int cx, int cy, const std::uint32_t* argb)
{
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = cx;
    bi.bmiHeader.biHeight = -cy; // top row first
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bmp || !bits) return bmp;
    auto* px = static_cast<std::uint32_t*>(bits);
    for (int i = 0; i < cx * cy; ++i) {
        px[i] = argb[i]; // BGRA in memory is 0xAARRGGBB as a little-endian word
    }
    return bmp;
}
} // namespace

Handle CreateBitmap(int cx, int cy, const std::uint32_t* argb)
{
    // Bitmaps are opaque: 24 bits, so that a static control shows the handle it was given
    // (the version 6 control copies bitmaps that carry alpha) and STM_GETIMAGE returns it.
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = cx;
    bi.bmiHeader.biHeight = -cy;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bmp || !bits) return bmp;
    const int stride = (cx * 3 + 3) & ~3;
    auto* row = static_cast<unsigned char*>(bits);
    for (int y = 0; y < cy; ++y, row += stride)
        for (int x = 0; x < cx; ++x) {
            const std::uint32_t p = argb[y * cx + x];
            row[x * 3] = static_cast<unsigned char>(p & 0xFF);
            row[x * 3 + 1] = static_cast<unsigned char>((p >> 8) & 0xFF);
            row[x * 3 + 2] = static_cast<unsigned char>((p >> 16) & 0xFF);
        }
    return bmp;
}

Handle CreateIcon(int cx, int cy, const std::uint32_t* argb)
{
    HBITMAP colour = DibFrom(cx, cy, argb);
    HBITMAP mask = ::CreateBitmap(cx, cy, 1, 1, nullptr);
    // The mask marks the transparent pixels, for drawing where alpha is not used.
    if (HDC dc = CreateCompatibleDC(nullptr)) {
        HGDIOBJ old = ::SelectObject(dc, mask);
        for (int y = 0; y < cy; ++y)
            for (int x = 0; x < cx; ++x)
                SetPixel(dc, x, y, (argb[y * cx + x] >> 24) < 128 ? RGB(255, 255, 255) : RGB(0, 0, 0));
        ::SelectObject(dc, old);
        DeleteDC(dc);
    }
    ICONINFO ii{};
    ii.fIcon = TRUE;
    ii.hbmColor = colour;
    ii.hbmMask = mask;
    HICON icon = CreateIconIndirect(&ii);
    ::DeleteObject(colour);
    ::DeleteObject(mask);
    return icon;
}

bool BitmapSize(Handle bmp, int& cx, int& cy)
{
    BITMAP b{};
    if (!GetObjectW(static_cast<HGDIOBJ>(bmp), sizeof(b), &b)) return false;
    cx = b.bmWidth;
    cy = b.bmHeight < 0 ? -b.bmHeight : b.bmHeight;
    return true;
}

Handle LoadIconResource(int id)
{
    return LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED);
}

void DialogBaseUnits(const char16_t* face, int points, int& cx, int& cy)
{
    HDC dc = ScreenDc();
    LOGFONTW lf{};
    lf.lfHeight = -MulDiv(points, ::GetDeviceCaps(dc, LOGPIXELSY), 72);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    wcsncpy(lf.lfFaceName, W(face), LF_FACESIZE - 1);
    HFONT font = CreateFontIndirectW(&lf);
    HGDIOBJ old = ::SelectObject(dc, font);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    SIZE sz{};
    GetTextExtentPoint32W(dc, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52, &sz);
    ::SelectObject(dc, old);
    ::DeleteObject(font);
    ReleaseDC(nullptr, dc);
    cx = (sz.cx / 26 + 1) / 2;
    cy = tm.tmHeight;
}

bool Capture(Handle h, bool withFrame, int& cx, int& cy, std::vector<std::uint32_t>& argb)
{
    HWND hwnd = H(h);
    RECT r{};
    if (withFrame) {
        GetWindowRect(hwnd, &r);
    } else {
        GetClientRect(hwnd, &r);
        MapWindowPoints(hwnd, nullptr, reinterpret_cast<POINT*>(&r), 2);
    }
    cx = r.right - r.left;
    cy = r.bottom - r.top;
    if (cx <= 0 || cy <= 0 || !IsWindowVisible(hwnd)) return false;
    // The window is brought to the top and painted first, so that the picture is the window
    // as its user sees it.
    HWND root = GetAncestor(hwnd, GA_ROOT);
    SetWindowPos(root, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    RedrawWindow(root, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    GdiFlush();
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = cx;
    bi.bmiHeader.biHeight = -cy;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(mem, bmp);
    // Read from the window's own device context: its surface holds what was painted last,
    // children included, whatever the display has been sent so far.
    HDC src = withFrame ? GetWindowDC(hwnd) : GetDC(hwnd);
    const BOOL ok = BitBlt(mem, 0, 0, cx, cy, src, 0, 0, SRCCOPY);
    ReleaseDC(hwnd, src);
    GdiFlush();
    if (ok && bits) {
        argb.assign(static_cast<std::uint32_t*>(bits), static_cast<std::uint32_t*>(bits) + static_cast<std::size_t>(cx) * cy);
        for (auto& p : argb) p |= 0xFF000000u;
    }
    ::SelectObject(mem, old);
    ::DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok != 0 && bits;
}

std::uint32_t SysColor(int index) { return ::GetSysColor(index); }
int SystemMetric(int index) { return GetSystemMetrics(index); }

// ---- input ---------------------------------------------------------------------------------

namespace {
void Key(WORD vk, bool up)
{
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    SendInput(1, &in, sizeof(in));
}
} // namespace

void KeyInput(Handle target, unsigned vk, bool shift, bool ctrl, bool alt)
{
    if (target) {
        HWND root = GetAncestor(H(target), GA_ROOT);
        SetForegroundWindow(root);
        if (GetFocus() != H(target) && (GetWindowLongPtrW(H(target), GWL_STYLE) & WS_CHILD)) SetFocus(H(target));
    }
    if (shift) Key(VK_SHIFT, false);
    if (ctrl) Key(VK_CONTROL, false);
    if (alt) Key(VK_MENU, false);
    Key(static_cast<WORD>(vk), false);
    Key(static_cast<WORD>(vk), true);
    if (alt) Key(VK_MENU, true);
    if (ctrl) Key(VK_CONTROL, true);
    if (shift) Key(VK_SHIFT, true);
}

void CharInput(Handle target, char16_t ch)
{
    if (target && GetFocus() != H(target)) {
        SetForegroundWindow(GetAncestor(H(target), GA_ROOT));
        SetFocus(H(target));
    }
    INPUT in[2]{};
    in[0].type = in[1].type = INPUT_KEYBOARD;
    in[0].ki.wScan = in[1].ki.wScan = static_cast<WORD>(ch);
    in[0].ki.dwFlags = KEYEVENTF_UNICODE;
    in[1].ki.dwFlags = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;
    SendInput(2, in, sizeof(INPUT));
}

void ClickInput(Handle target, bool right)
{
    RECT r{};
    GetWindowRect(H(target), &r);
    SetForegroundWindow(GetAncestor(H(target), GA_ROOT));
    int y = (r.top + r.bottom) / 2;
    // A right click on a top-level window goes to its title bar, where the system menu opens.
    if (right && !(GetWindowLongPtrW(H(target), GWL_STYLE) & WS_CHILD))
        y = r.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
    const int x = (r.left + r.right) / 2;
    // Every event carries its position: a pointer moved by SetCursorPos may not have arrived
    // yet when the button events are read.
    const int vx = GetSystemMetrics(SM_XVIRTUALSCREEN), vy = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int vcx = std::max(1, GetSystemMetrics(SM_CXVIRTUALSCREEN) - 1), vcy = std::max(1, GetSystemMetrics(SM_CYVIRTUALSCREEN) - 1);
    const LONG ax = static_cast<LONG>((static_cast<long long>(x - vx) * 65535 + vcx / 2) / vcx);
    const LONG ay = static_cast<LONG>((static_cast<long long>(y - vy) * 65535 + vcy / 2) / vcy);
    INPUT in[3]{};
    const DWORD flags[3] = {MOUSEEVENTF_MOVE, static_cast<DWORD>(right ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN),
                            static_cast<DWORD>(right ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP)};
    for (int i = 0; i < 3; ++i) {
        in[i].type = INPUT_MOUSE;
        in[i].mi.dx = ax;
        in[i].mi.dy = ay;
        in[i].mi.dwFlags = flags[i] | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_MOVE;
    }
    SendInput(3, in, sizeof(INPUT));
}

void SettleInput()
{
    // Input given with SendInput reaches the queue through the server: pump until it has
    // been taken (bounded, so that a window that never reads cannot hold the caller).
    const ULONGLONG end = GetTickCount64() + 1000;
    do {
        PumpPending();
        if (!(HIWORD(GetQueueStatus(QS_INPUT)))) {
            // One more round for what the input itself posted (a click's BN_CLICKED).
            Sleep(0);
            PumpPending();
            if (!(HIWORD(GetQueueStatus(QS_INPUT | QS_POSTMESSAGE)))) return;
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, 5, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    } while (GetTickCount64() < end);
}

} // namespace platform::ui::native
