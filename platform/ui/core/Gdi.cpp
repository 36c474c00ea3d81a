// The toolkit-free part of GDI: arithmetic on numbers and rectangles, the GDI object's handle
// ownership, bitmap loading by resource, the dialog templates the resource module registers,
// and dialog units. The objects themselves are the toolkit's (qt/QtGdi.cpp, win32/WinGdi.cpp).
#include <cstdlib>
#include <map>

#include "platform/ui/core/Core.h"

namespace {
// Never destroyed: dialogs held by static objects may look a template up during exit.
auto& g_templates = *new std::map<int, const platform::ui::DialogTemplateData*>;
} // namespace

int MulDiv(int number, int numerator, int denominator)
{
    if (denominator == 0) return -1;
    const long long p = static_cast<long long>(number) * numerator;
    const long long half = (denominator < 0 ? -denominator : denominator) / 2;
    long long q = (p >= 0) == (denominator >= 0) ? (llabs(p) + half) / llabs(denominator) : -((llabs(p) + half) / llabs(denominator));
    return static_cast<int>(q);
}

BOOL SetRect(LPRECT r, int l, int t, int rr, int b)
{
    if (!r) return FALSE;
    *r = RECT{l, t, rr, b};
    return TRUE;
}

// ---- GDI objects ---------------------------------------------------------------------------

CGdiObject::~CGdiObject() { DeleteObject(); }

BOOL CGdiObject::Attach(HGDIOBJ h)
{
    if (!h || m_hObject) return FALSE;
    m_hObject = h;
    return TRUE;
}

HGDIOBJ CGdiObject::Detach()
{
    HGDIOBJ h = m_hObject;
    m_hObject = nullptr;
    return h;
}

BOOL CGdiObject::DeleteObject()
{
    if (!m_hObject) return FALSE;
    HGDIOBJ h = Detach();
    return ::DeleteObject(h);
}

BOOL CBitmap::LoadBitmap(UINT id) { return LoadBitmap(MAKEINTRESOURCEW(id)); }

BOOL CBitmap::LoadBitmap(LPCWSTR name)
{
    HBITMAP h = LoadBitmapW(nullptr, name);
    if (!h) return FALSE;
    DeleteObject(); // a reload replaces the previous bitmap
    return Attach(h);
}

// ---- templates and dialog units ------------------------------------------------------------

namespace platform::ui {

void RegisterDialogTemplate(const DialogTemplateData* t)
{
    if (t) g_templates[t->nID] = t;
}

const DialogTemplateData* FindDialogTemplate(int nID)
{
    auto it = g_templates.find(nID);
    return it == g_templates.end() ? nullptr : it->second;
}

int DluToPixelsX(int x, const DialogBaseUnits& u) { return MulDiv(x, u.cx, 4); }
int DluToPixelsY(int y, const DialogBaseUnits& u) { return MulDiv(y, u.cy, 8); }

} // namespace platform::ui
