// Makes the tool's dialog templates, icons and bitmaps known to the dialog framework, so
// that CDialog, LoadIcon and LoadBitmap find them by ID. Call once before the first dialog;
// calling again is harmless.
#pragma once

namespace tarvex::res {
void RegisterResources();
} // namespace tarvex::res
