// The tool's icons and bitmaps as embedded PNG data, drawn at build time by res/gen.
#pragma once
#include <cstddef>

#include "platform/ui/DialogTemplate.h"

namespace tarvex::res {

using platform::ui::ImageResource;

extern const ImageResource kImages[];
extern const std::size_t kImageCount;

// The image with that resource ID, or null.
const ImageResource* FindImage(int nID);

} // namespace tarvex::res
