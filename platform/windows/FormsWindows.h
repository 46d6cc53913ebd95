#pragma once

// The Windows side of a form, for platform code and the browser control:
// the top-level window and, once made, the child window that fills its
// client area and hosts a control; the text box's edit control, the
// image control's window.

#include "platform/ui/Forms.h"

#include <windows.h>

namespace Folivant::Platform {

struct TForm::TImpl {
    TForm* Owner = nullptr;
    HWND Window = nullptr;
    // The control host (MakeControlHost); it follows the client area's size.
    HWND Host = nullptr;
    HFONT Font = nullptr;
    TFormPosition Position = poDefault;
    bool StayOnTop = false;
    bool ShownOnce = false;
    bool ShowMaximized = false;
    bool InModal = false;
    // An outer or client size was asked for; the default size no longer
    // applies.
    bool SizeAsked = false;
    // The client size asked for, kept across border changes; 0 when none.
    int ClientWidth = 0;
    int ClientHeight = 0;
    int MinWidth = 0;
    int MinHeight = 0;
};

struct TImage::TImpl {
    // The image window on a form; none for an image control on its own.
    HWND Window = nullptr;
    int Width = 0;
    int Height = 0;
    TPicture Picture;
    HWND Live() const;
};

struct TEdit::TImpl {
    TEdit* Owner = nullptr;
    // The system's edit control; its user data points back here.
    HWND Edit = nullptr;
    // The control while it exists: a window destroyed with its form is gone.
    HWND Live() const;
};

} // namespace Folivant::Platform
