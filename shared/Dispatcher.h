#pragma once

// The hidden window of a protocol component in a header of its own, so that
// the platform's GUI dispatcher implements it without the protocol component.

#include <functional>
#include <memory>

namespace Folivant::Shared {

// The hidden window of a component: runs a call on the thread it belongs to
// and waits until the call has finished; runs it directly when the caller is
// already on that thread. An exception thrown by the call reaches the caller.
class TDispatcher {
public:
    virtual ~TDispatcher() = default;
    virtual void Send(const std::function<void()>& call) = 0;
};

// Creates the hidden window of a new component, bound to the calling thread.
using TDispatcherFactory = std::function<std::unique_ptr<TDispatcher>()>;
// Installs the platform's dispatcher (or a test's); an empty factory restores
// the default one, which runs every call on the caller's thread and so suits
// only programs without a GUI thread. Returns the previous factory.
TDispatcherFactory SetDispatcherFactory(TDispatcherFactory factory);

} // namespace Folivant::Shared
