#include "res/Resources.h"

#include <initializer_list>

#include "res/DialogTemplates.h"
#include "res/ResImages.h"

namespace tarvex::res {

void RegisterResources()
{
    for (const DialogTemplateData* t : {&kMainDialog, &kConfigDialog, &kPasswordDialog})
        platform::ui::RegisterDialogTemplate(t);
    for (std::size_t i = 0; i < kImageCount; ++i)
        platform::ui::RegisterImageResource(&kImages[i]);
}

} // namespace tarvex::res
