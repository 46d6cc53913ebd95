// The fvp name space on Windows is answered through the system's own
// URL-moniker layer: an asynchronous bind of an fvp URL, as the engine binds,
// reaches the protocol component registered with the internet session and
// delivers the bytes of the archive entry; a missing entry makes the bind
// fail. A request from another thread
// runs on the component's thread through its hidden window.
#include "platform/ui/UrlMon.h"

#include "archive/ZipReader.h"
#include "shared/FvpResolver.h"

#include "support/LinksSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <urlmon.h>

#include <chrono>
#include <string>
#include <thread>

namespace Folivant {
namespace {

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

// Runs the calling thread's messages until done() or ten seconds passed.
template <class Done> bool PumpUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (!done())
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return true;
}

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
    if (SUCCEEDED(hr) && !PumpUntil([&] { return callback.Done; }))
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
    EXPECT_TRUE(PumpUntil([&] { return finished; }));
    other.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    // Once the component is gone, the name space is no longer answered.
    protocol.reset();
    EXPECT_NE(Bind(L"fvp://site/page.html").Result, S_OK);
}

} // namespace
} // namespace Folivant
