// Dialog templates as data, in dialog units, and icon/bitmap resources as PNG data, both
// registered by the resource module and looked up by ID when a dialog or image is loaded.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/WinTypes.h"

class QImage;

namespace platform::ui {

struct DialogItemData {
    int nID;               // -1 for unnamed statics and group boxes
    const WCHAR* pszClass; // "Button", "Static", "Edit", "ComboBox", "msctls_progress32" (any case)
    DWORD dwStyle;         // WS_CHILD | WS_VISIBLE included
    DWORD dwExStyle;
    const WCHAR* pszText;
    short x, y, cx, cy;
};

struct DialogTemplateData {
    int nID;
    DWORD dwStyle;
    DWORD dwExStyle;
    const WCHAR* pszCaption;
    const WCHAR* pszFace;
    WORD wPointSize;
    short cx, cy; // client area
    const DialogItemData* pItems;
    std::size_t nItems;
    // The rest of the FONT statement of an extended template, as a resource compiler writes
    // it when the statement names only size and face: weight 0 (the font's own), not italic,
    // DEFAULT_CHARSET.
    WORD wWeight = 0;
    BYTE bItalic = 0;
    BYTE bCharSet = 1;
};

// The data must outlive every dialog made from it (static data, normally). A second
// registration of an ID replaces the first.
void RegisterDialogTemplate(const DialogTemplateData* pTemplate);
const DialogTemplateData* FindDialogTemplate(int nID);

struct ImageResource {
    int nID;
    bool bIcon; // icon (with transparency) or bitmap
    int cx;
    int cy;
    const unsigned char* pPng; // PNG bytes, kept by pointer
    std::size_t cbPng;
    // The same picture as 0xAARRGGBB words, top row first, for systems that make their own
    // bitmaps and icons from pixels.
    const std::uint32_t* pPixels = nullptr;
};
void RegisterImageResource(const ImageResource* pImage);
// An image made at run time (tests); replaces a registered one of that ID and kind.
void RegisterImageResource(int nID, bool bIcon, const QImage& image);

// Dialog base units of a font (face, points) as the dialog manager computes them: the
// average width of "A".."Z","a".."z" rounded, and the character height, at 96 dpi.
struct DialogBaseUnits {
    int cx;
    int cy;
};
DialogBaseUnits GetDialogBaseUnits(const WCHAR* pszFace, int nPointSize);
// Dialog units to pixels: x * baseX / 4, y * baseY / 8, rounded.
int DluToPixelsX(int x, const DialogBaseUnits& units);
int DluToPixelsY(int y, const DialogBaseUnits& units);

} // namespace platform::ui
