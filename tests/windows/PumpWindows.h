#pragma once

// Runs the calling thread's window messages, as a program's loop would,
// until a condition holds.

#include <windows.h>

#include <functional>

namespace Folivant::Testing {

// Pumps the thread's messages until done() holds or ms have passed; false
// when the time ran out.
inline bool PumpUntil(const std::function<bool()>& done, DWORD ms = 60000) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (!done()) {
        if (GetTickCount64() >= deadline)
            return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (!done())
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

} // namespace Folivant::Testing
