#pragma once

// Waiting on the default main context, for tests of code whose callbacks
// arrive there (GStreamer bus watches, GTK dialogs).

#include <glib.h>

#include <chrono>
#include <functional>
#include <thread>

namespace Folivant::Testing {

// Iterates the default main context until condition holds or timeout
// passes; answers the condition's last value.
inline bool PumpUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return condition();
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Iterates the default main context for the given time.
inline void PumpFor(std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end)
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

} // namespace Folivant::Testing
