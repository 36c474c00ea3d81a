#include "res/ResImages.h"

namespace tarvex::res {

const ImageResource* FindImage(int nID)
{
    for (std::size_t i = 0; i < kImageCount; ++i)
        if (kImages[i].nID == nID)
            return &kImages[i];
    return nullptr;
}

} // namespace tarvex::res
