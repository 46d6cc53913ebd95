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

#ifdef _WIN32
std::optional<String> RootDocumentUrl(IInternetBindInfo* bindInfo) {
    if (bindInfo == nullptr) {
        return std::nullopt;
    }
    LPOLESTR text = nullptr;
    ULONG fetched = 0;
    const HRESULT hr = bindInfo->GetBindString(BINDSTRING_ROOTDOC_URL, &text, 1, &fetched);
    // The string is the caller's to free, but only when the call succeeded:
    // after a failure the slot holds nothing that belongs to the caller.
    if (FAILED(hr)) {
        return std::nullopt;
    }
    std::optional<String> url;
    if (fetched >= 1 && text != nullptr && text[0] != L'\0') {
        static_assert(sizeof(wchar_t) == sizeof(char16_t));
        url.emplace(reinterpret_cast<const char16_t*>(text));
    }
    if (text != nullptr) {
        CoTaskMemFree(text);
    }
    return url;
}
#else
std::optional<String> RootDocumentUrl(IInternetBindInfo*) {
    return std::nullopt;
}
#endif

TInternetSessionProvider SetInternetSessionProvider(TInternetSessionProvider provider) {
    std::lock_guard guard(ProviderLock);
    return std::exchange(Provider(), std::move(provider));
}

} // namespace Folivant::Shared
