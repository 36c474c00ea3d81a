// The tool's dialog templates as data, in dialog units, exactly as the resource script
// describes them: caption, font, size, styles and every control in template order.
#pragma once
#include "platform/ui/DialogTemplate.h"

namespace tarvex::res {

using platform::ui::DialogItemData;
using platform::ui::DialogTemplateData;

extern const DialogTemplateData kMainDialog;     // 102
extern const DialogTemplateData kConfigDialog;   // 129
extern const DialogTemplateData kPasswordDialog; // 130

} // namespace tarvex::res
