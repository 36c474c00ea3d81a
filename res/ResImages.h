// The tool's icons and bitmaps as embedded PNG data, drawn at build time by res/gen.
#pragma once
#include <cstddef>

namespace tarvex::res {

struct ImageResource {
    int nID;
    bool bIcon;  // icon (with transparency) or bitmap (opaque)
    int cx;
    int cy;
    const unsigned char* pPng;
    std::size_t cbPng;
};

extern const ImageResource kImages[];
extern const std::size_t kImageCount;

// The image with that resource ID, or null.
const ImageResource* FindImage(int nID);

} // namespace tarvex::res
