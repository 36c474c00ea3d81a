// The tool's dialog templates as data, in dialog units, exactly as the resource script
// describes them: caption, font, size, styles and every control in template order.
#pragma once
#include <cstddef>

#include "platform/WinTypes.h"

namespace tarvex::res {

struct DialogItemData {
    int nID;               // -1 for the unnamed statics and group boxes
    const WCHAR* pszClass; // window class: "Button", "Static", "Edit", "ComboBox", "msctls_progress32"
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
    short cx, cy;
    const DialogItemData* pItems;
    std::size_t nItems;
};

extern const DialogTemplateData kMainDialog;      // 102
extern const DialogTemplateData kConfigDialog;    // 129
extern const DialogTemplateData kPasswordDialog;  // 130

// The template with that resource ID, or null.
const DialogTemplateData* FindDialogTemplate(int nID);

} // namespace tarvex::res
