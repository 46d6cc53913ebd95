// The fvp name space on Windows is answered through the system's own
// URL-moniker layer: an asynchronous bind of an fvp URL, as the engine binds,
// reaches the protocol component registered with the internet session and
// delivers the bytes of the archive entry; a missing entry makes the bind
// fail. A request from another thread runs on the component's thread through
// its hidden window. A request whose top document, as the engine reports it,
// is not the publication's own is answered as a missing entry.
#include "platform/ui/UrlMon.h"

#include "archive/ZipReader.h"
#include "shared/FvpResolver.h"

#include "support/LinksSupport.h"

#include <gtest/gtest.h>

#include "PumpWindows.h"

#include <windows.h>

#include <urlmon.h>

#include <optional>
#include <string>
#include <thread>

namespace Folivant {
namespace {

using Testing::PumpUntil;

// Records what an asynchronous bind delivers; lives on the test's stack.
class TBindCallback : public IBindStatusCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** obj) override {
        if (iid == IID_IUnknown || iid == IID_IBindStatusCallback) {
            *obj = static_cast<IBindStatusCallback*>(this);
            AddRef();
            return S_OK;
        }
        *obj = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++FRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return --FRefs; }
    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT result, LPCWSTR) override {
        Result = result;
        Done = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override {
        *flags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA | BINDF_NOWRITECACHE;
        const DWORD size = info->cbSize;
        ZeroMemory(info, size);
        info->cbSize = size;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*,
                                              STGMEDIUM* medium) override {
        if (medium == nullptr || medium->tymed != TYMED_ISTREAM || medium->pstm == nullptr)
            return S_OK;
        char buffer[3];
        HRESULT hr;
        do {
            ULONG read = 0;
            hr = medium->pstm->Read(buffer, sizeof buffer, &read);
            Bytes.append(buffer, read);
            if (read == 0)
                break;
        } while (hr == S_OK);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

    std::string Bytes;
    HRESULT Result = S_OK;
    bool Done = false;

private:
    ULONG FRefs = 1;
};

struct TBindResult {
    HRESULT Result;
    std::string Bytes;
};

// Binds url to a stream asynchronously, as the engine binds, and waits for
// the end of the bind while running this thread's messages.
TBindResult Bind(const wchar_t* url) {
    IMoniker* moniker = nullptr;
    HRESULT hr = CreateURLMonikerEx(nullptr, url, &moniker, URL_MK_UNIFORM);
    if (FAILED(hr))
        return {hr, {}};
    TBindCallback callback;
    IBindCtx* context = nullptr;
    hr = CreateAsyncBindCtx(0, &callback, nullptr, &context);
    if (FAILED(hr)) {
        moniker->Release();
        return {hr, {}};
    }
    IStream* stream = nullptr;
    hr = moniker->BindToStorage(context, nullptr, IID_IStream, reinterpret_cast<void**>(&stream));
    if (SUCCEEDED(hr) && !PumpUntil([&] { return callback.Done; }, 10000))
        hr = E_ABORT;
    if (stream != nullptr)
        stream->Release();
    context->Release();
    moniker->Release();
    if (callback.Done)
        hr = callback.Result;
    return {hr, callback.Bytes};
}

class WindowsUrlMon : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        FPreviousProvider = Shared::SetInternetSessionProvider(nullptr);
        FPreviousDispatcher = Shared::SetDispatcherFactory(nullptr);
        Platform::InitializeContentProtocol();
        Shared::InitializeProtocolRegistry();
    }
    void TearDown() override {
        Shared::FinalizeProtocolRegistry();
        Shared::SetInternetSessionProvider(FPreviousProvider);
        Shared::SetDispatcherFactory(FPreviousDispatcher);
        CoUninitialize();
    }

    Shared::TInternetSessionProvider FPreviousProvider;
    Shared::TDispatcherFactory FPreviousDispatcher;
};

TEST_F(WindowsUrlMon, AnAsynchronousBindDeliversTheEntryAndAMissingEntryFails) {
    const std::string page = "<html><body>fvp page bytes \xC3\xA9</body></html>";
    const std::string archive =
        Testing::MakeArchive({{"site/page.html", page}, {"site/empty", ""}});
    TMemoryStream bytes;
    bytes.WriteBuffer(archive.data(), static_cast<std::int64_t>(archive.size()));
    bytes.SetPosition(0);
    Archive::TZipReader zip;
    zip.Password = Archive::ArchivePassword;
    zip.SetStream(&bytes);
    int requests = 0;
    std::thread::id requestThread;
    auto protocol = Shared::CreateFvpProtocol(zip, [](const String&) {});
    auto resolve = protocol->OnRequestStream;
    protocol->OnRequestStream = [&](Shared::TInternetProtocol* sender, const String& request,
                                    std::unique_ptr<TStream>& stream) {
        ++requests;
        requestThread = std::this_thread::get_id();
        resolve(sender, request, stream);
    };
    ASSERT_TRUE(protocol->Active());
    ASSERT_NE(Shared::ProtocolRegistryState().Session, nullptr)
        << "the system's internet session was not obtained";

    const TBindResult found = Bind(L"fvp://site/page.html?x=1");
    EXPECT_EQ(found.Result, S_OK);
    EXPECT_EQ(found.Bytes, page);
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(requestThread, std::this_thread::get_id());

    // The handler declines with INET_E_USE_DEFAULT_PROTOCOLHANDLER; the
    // moniker layer has no default handler for fvp, so the bind fails: Wine
    // ends it with the handler's answer, Windows with a missing resource.
    const TBindResult missing = Bind(L"fvp://site/missing.html");
    EXPECT_TRUE(missing.Result == INET_E_USE_DEFAULT_PROTOCOLHANDLER ||
                missing.Result == INET_E_RESOURCE_NOT_FOUND)
        << std::hex << missing.Result;
    EXPECT_EQ(missing.Bytes, "");
    EXPECT_EQ(requests, 2);

    // A request started on another thread runs the component's event on
    // the thread of its hidden window, while the caller waits.
    std::thread::id ranOn;
    bool finished = false;
    std::thread other([&] {
        protocol->Handle().Send([&] { ranOn = std::this_thread::get_id(); });
        finished = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return finished; }, 10000));
    other.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    // Once the component is gone, the name space is no longer answered.
    protocol.reset();
    EXPECT_NE(Bind(L"fvp://site/page.html").Result, S_OK);
}

// The engine's bind information of one request: its root-document string
// is root (allocated for the caller, as the engine allocates it), or the
// failure answer when there is no root.
class TFakeBindInfo : public IInternetBindInfo {
public:
    TFakeBindInfo(std::optional<std::wstring> root, HRESULT failure)
        : FRoot(std::move(root)), FFailure(failure) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** obj) override {
        if (iid == IID_IUnknown || iid == IID_IInternetBindInfo) {
            *obj = static_cast<IInternetBindInfo*>(this);
            AddRef();
            return S_OK;
        }
        *obj = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++FRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return --FRefs; }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override {
        *flags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA;
        const DWORD size = info->cbSize;
        ZeroMemory(info, size);
        info->cbSize = size;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBindString(ULONG type, LPOLESTR* strings, ULONG count,
                                            ULONG* fetched) override {
        if (type != BINDSTRING_ROOTDOC_URL)
            return E_NOTIMPL;
        ++RootAsked;
        if (!FRoot)
            return FFailure;
        if (count < 1 || strings == nullptr || fetched == nullptr)
            return E_INVALIDARG;
        const std::size_t bytes = (FRoot->size() + 1) * sizeof(wchar_t);
        strings[0] = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
        CopyMemory(strings[0], FRoot->c_str(), bytes);
        *fetched = 1;
        return S_OK;
    }

    int RootAsked = 0;

private:
    std::optional<std::wstring> FRoot;
    HRESULT FFailure;
    ULONG FRefs = 1;
};

// Counts what the handler tells the engine.
class TCountingSink : public IInternetProtocolSink {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** obj) override {
        if (iid == IID_IUnknown || iid == IID_IInternetProtocolSink) {
            *obj = static_cast<IInternetProtocolSink*>(this);
            AddRef();
            return S_OK;
        }
        *obj = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++FRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return --FRefs; }
    HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReportProgress(ULONG, LPCWSTR) override {
        ++Calls;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReportData(DWORD, ULONG, ULONG) override {
        ++Calls;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReportResult(HRESULT, DWORD, LPCWSTR) override {
        ++Calls;
        return S_OK;
    }

    int Calls = 0;

private:
    ULONG FRefs = 1;
};

// The registered handler is started as the engine starts it, with bind
// information naming the request's top document. The publication's own
// documents, and a top document the engine does not name, are served; a
// foreign one is answered exactly as a missing entry and the entry is not
// read.
TEST_F(WindowsUrlMon, OnlyThePublicationsOwnDocumentsAreAnswered) {
    const std::string script = "var secret = 42;";
    const std::string archive = Testing::MakeArchive({{"site/secret.js", script}});
    TMemoryStream bytes;
    bytes.WriteBuffer(archive.data(), static_cast<std::int64_t>(archive.size()));
    bytes.SetPosition(0);
    Archive::TZipReader zip;
    zip.Password = Archive::ArchivePassword;
    zip.SetStream(&bytes);
    auto protocol = Shared::CreateFvpProtocol(zip, [](const String&) {});
    int requests = 0;
    auto resolve = protocol->OnRequestStream;
    protocol->OnRequestStream = [&](Shared::TInternetProtocol* sender, const String& request,
                                    std::unique_ptr<TStream>& stream) {
        ++requests;
        resolve(sender, request, stream);
    };
    IClassFactory* factory = Shared::ProtocolRegistryState().Factory;
    ASSERT_NE(factory, nullptr);

    // What a missing entry gets today, which a refusal must equal.
    const HRESULT missing = INET_E_USE_DEFAULT_PROTOCOLHANDLER;
    struct TCase {
        const wchar_t* Url;
        std::optional<std::wstring> Root;
        HRESULT Failure;
        HRESULT Result;
        bool Asked;
    };
    const TCase cases[] = {
        {L"fvp://site/secret.js", L"http://127.0.0.1/x.html", S_OK, missing, false},
        {L"fvp://site/secret.js", L"file:///C:/x.html", S_OK, missing, false},
        {L"fvp://site/secret.js", L"fvpx://site/index.html", S_OK, missing, false},
        {L"fvp://site/secret.js", L"fvp://site/index.html", S_OK, S_OK, true},
        {L"fvp://site/secret.js", L"FVP://site/index.html", S_OK, S_OK, true},
        {L"fvp://site/secret.js", L"about:blank", S_OK, S_OK, true},
        {L"fvp://site/secret.js", L"", S_OK, S_OK, true},
        {L"fvp://site/secret.js", std::nullopt, E_NOTIMPL, S_OK, true},
        {L"fvp://site/missing.js", L"fvp://site/index.html", S_OK, missing, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "root " << (c.Root ? std::string(c.Root->begin(), c.Root->end()) : "none"));
        IInternetProtocol* handler = nullptr;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IInternetProtocol,
                                          reinterpret_cast<void**>(&handler)),
                  S_OK);
        TFakeBindInfo bindInfo(c.Root, c.Failure);
        TCountingSink sink;
        const int before = requests;
        EXPECT_EQ(handler->Start(c.Url, &sink, &bindInfo, PI_FORCE_ASYNC, 0), c.Result);
        EXPECT_EQ(bindInfo.RootAsked, 1);
        EXPECT_EQ(requests - before, c.Asked ? 1 : 0);
        std::string served;
        if (c.Result == S_OK) {
            EXPECT_EQ(sink.Calls, 2);
            char buffer[64];
            ULONG read = 0;
            HRESULT hr;
            do {
                hr = handler->Read(buffer, sizeof buffer, &read);
                served.append(buffer, read);
            } while (hr == E_PENDING && read > 0);
            handler->Terminate(0);
        } else {
            EXPECT_EQ(sink.Calls, 0);
        }
        EXPECT_EQ(served, c.Result == S_OK ? script : "");
        handler->Release();
    }
}

} // namespace
} // namespace Folivant
