#pragma once

// A hidden message-only window of its own class, which other threads and
// the thread's own code reach with SendMessageW/PostMessageW.

#include <windows.h>

namespace Folivant::Platform {

// Registers className with procedure (once per class) and makes a window of
// it; null when the system gives none.
inline HWND CreateMessageWindow(const wchar_t* className, WNDPROC procedure) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;
    return CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, nullptr);
}

} // namespace Folivant::Platform
