#pragma once

// Drives the content protocol the way the URL-moniker layer does, for tests
// and benchmarks that need no engine: a handler from the factory, Start with
// a recording sink, Read until S_FALSE, Terminate.

#include "shared/AsyncPlugProto.h"

#include <atomic>
#include <string>
#include <vector>

namespace Folivant::Testing {

// The moniker layer's names; on Windows its HRESULT values are macros, so
// they are never written with a namespace in front.
using namespace Shared;

class TRecordingSink : public IInternetProtocolSink {
public:
    HRESULT FOLIVANT_COMCALL QueryInterface(const TGUID&, void**) override { return E_NOINTERFACE; }
    ULONG FOLIVANT_COMCALL AddRef() override { return ++Refs; }
    ULONG FOLIVANT_COMCALL Release() override { return --Refs; }
    HRESULT FOLIVANT_COMCALL Switch(TProtocolData*) override { return E_NOTIMPL; }
    HRESULT FOLIVANT_COMCALL ReportProgress(ULONG, const TUrlChar*) override { return S_OK; }
    HRESULT FOLIVANT_COMCALL ReportData(DWORD flags, ULONG progress, ULONG max) override {
        Data.push_back({flags, progress, max});
        return S_OK;
    }
    HRESULT FOLIVANT_COMCALL ReportResult(HRESULT hr, DWORD, const TUrlChar*) override {
        Results.push_back(hr);
        return S_OK;
    }

    std::atomic<ULONG> Refs{0};
    std::vector<std::vector<ULONG>> Data;
    std::vector<HRESULT> Results;
};

struct TFetchResult {
    HRESULT Start = E_FAIL;
    HRESULT LastRead = E_FAIL;
    std::string Bytes;
    std::vector<std::vector<ULONG>> Data;
    std::vector<HRESULT> Results;
};

inline TFetchResult FetchUrl(const String& url, ULONG chunk = 4096) {
    TFetchResult result;
    TRecordingSink sink;
    TComPtr<IInternetProtocol> handler;
    {
        TComPtr<IClassFactory> factory(new TInternetProtocolHandlerFactory);
        factory->CreateInstance(nullptr, IID_IInternetProtocol, handler.Out());
    }
    result.Start =
        handler->Start(reinterpret_cast<const TUrlChar*>(url.c_str()), &sink, nullptr, 0, 0);
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
