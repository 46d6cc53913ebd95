#pragma once

// Drives the content protocol the way the URL-moniker layer does, for tests
// and benchmarks that need no engine: a handler from the factory, Start with
// a recording sink, Read until S_FALSE, Terminate.

#include "shared/AsyncPlugProto.h"

#include <atomic>
#include <string>
#include <vector>

namespace Folivant::Testing {

class TRecordingSink : public Shared::IInternetProtocolSink {
public:
    Shared::HRESULT QueryInterface(const Shared::TGUID&, void**) override {
        return Shared::E_NOINTERFACE;
    }
    Shared::ULONG AddRef() override { return ++Refs; }
    Shared::ULONG Release() override { return --Refs; }
    Shared::HRESULT Switch(Shared::TProtocolData*) override { return Shared::E_NOTIMPL; }
    Shared::HRESULT ReportProgress(Shared::ULONG, const char16_t*) override { return Shared::S_OK; }
    Shared::HRESULT ReportData(Shared::DWORD flags, Shared::ULONG progress,
                               Shared::ULONG max) override {
        Data.push_back({flags, progress, max});
        return Shared::S_OK;
    }
    Shared::HRESULT ReportResult(Shared::HRESULT hr, Shared::DWORD, const char16_t*) override {
        Results.push_back(hr);
        return Shared::S_OK;
    }

    std::atomic<Shared::ULONG> Refs{0};
    std::vector<std::vector<Shared::ULONG>> Data;
    std::vector<Shared::HRESULT> Results;
};

struct TFetchResult {
    Shared::HRESULT Start = Shared::E_FAIL;
    Shared::HRESULT LastRead = Shared::E_FAIL;
    std::string Bytes;
    std::vector<std::vector<Shared::ULONG>> Data;
    std::vector<Shared::HRESULT> Results;
};

inline TFetchResult FetchUrl(const String& url, Shared::ULONG chunk = 4096) {
    using namespace Shared;
    TFetchResult result;
    TRecordingSink sink;
    TComPtr<IInternetProtocol> handler;
    {
        TComPtr<IClassFactory> factory(new TInternetProtocolHandlerFactory);
        factory->CreateInstance(nullptr, IID_IInternetProtocol, handler.Out());
    }
    result.Start = handler->Start(url.c_str(), &sink, nullptr, 0, 0);
    if (result.Start == S_OK) {
        std::string buffer(chunk, '\0');
        HRESULT hr;
        do {
            ULONG read = 0;
            hr = handler->Read(buffer.data(), chunk, &read);
            result.Bytes.append(buffer.data(), read);
        } while (hr == E_PENDING);
        result.LastRead = hr;
        handler->Terminate(0);
    }
    result.Data = sink.Data;
    result.Results = sink.Results;
    return result;
}

} // namespace Folivant::Testing
