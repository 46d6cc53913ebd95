#pragma once

// The modal windows the platform's Windows files run (message boxes, the
// save dialog), innermost last, each with the way it closes as its close
// button would. CloseModalWindows closes these first.

#include <windows.h>

#include <functional>

namespace Folivant::Platform {

// Registers window with its closing action while the object lives.
class TModalWindowScope {
public:
    TModalWindowScope(HWND window, std::function<void()> close);
    ~TModalWindowScope();
    TModalWindowScope(const TModalWindowScope&) = delete;
    TModalWindowScope& operator=(const TModalWindowScope&) = delete;

private:
    HWND FWindow;
};

// Whether a registered modal window is running.
bool ModalWindowRunning();

} // namespace Folivant::Platform
