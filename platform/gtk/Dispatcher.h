#pragma once

// The hidden window of a protocol component: a dispatcher bound to the GLib
// main context of the thread that creates it (the GUI thread). A call made on
// that thread runs at once; from another thread it is posted to the context
// and the caller waits until it has run, so the call always runs on the GUI
// thread while its caller waits, as a message sent to a window does. A
// failure thrown by the call is carried back to the caller; nothing unwinds
// into GLib.

#include "shared/Dispatcher.h"
#include "platform/gtk/GlibOwner.h"

#include <thread>

namespace Folivant::Platform {

class TGuiDispatcher : public Shared::TDispatcher {
public:
    // Binds to the calling thread and its thread-default main context.
    TGuiDispatcher();
    ~TGuiDispatcher() override;
    TGuiDispatcher(const TGuiDispatcher&) = delete;
    TGuiDispatcher& operator=(const TGuiDispatcher&) = delete;

    void Send(const std::function<void()>& call) override;
    std::thread::id Thread() const { return FThread; }

private:
    std::thread::id FThread;
    TGOwner<GMainContext> FContext;
};

// Makes every protocol component created from now on use a TGuiDispatcher.
void InstallGuiDispatcher();

} // namespace Folivant::Platform
