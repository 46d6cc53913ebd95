#include "shared/UrlMonApi.h"

#include <mutex>

namespace Folivant::Shared {

namespace {

std::mutex ProviderLock;

TInternetSessionProvider& Provider() {
    static TInternetSessionProvider provider;
    return provider;
}

} // namespace

HRESULT CoInternetGetSession(DWORD dwSessionMode, IInternetSession** ppIInternetSession,
                             DWORD dwReserved) {
    if (ppIInternetSession == nullptr) {
        return E_POINTER;
    }
    *ppIInternetSession = nullptr;
    TInternetSessionProvider provider;
    {
        std::lock_guard guard(ProviderLock);
        provider = Provider();
    }
    if (!provider) {
        return E_FAIL;
    }
    return provider(ppIInternetSession);
}

TInternetSessionProvider SetInternetSessionProvider(TInternetSessionProvider provider) {
    std::lock_guard guard(ProviderLock);
    return std::exchange(Provider(), std::move(provider));
}

} // namespace Folivant::Shared
