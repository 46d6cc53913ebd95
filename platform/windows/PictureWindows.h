#pragma once

// The Windows side of a picture: a 32-bit top-down DIB section with
// premultiplied alpha, ready for AlphaBlend.

#include "platform/ui/Picture.h"

#include <windows.h>

namespace Folivant::Platform {

struct TPicture::TImpl {
    HBITMAP Bitmap = nullptr;
    int Width = 0;
    int Height = 0;
    ~TImpl() {
        if (Bitmap != nullptr)
            DeleteObject(Bitmap);
    }
};

} // namespace Folivant::Platform
