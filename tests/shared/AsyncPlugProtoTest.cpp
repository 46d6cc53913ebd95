#include "shared/AsyncPlugProto.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace Folivant;
using namespace Folivant::Shared;

namespace {

// Texts as the moniker layer passes them (UTF-16 on every system).
const TUrlChar* W(const char16_t* text) {
    return reinterpret_cast<const TUrlChar*>(text);
}
String Text(const TUrlChar* text) {
    return String(reinterpret_cast<const char16_t*>(text));
}

// A session that records the name-space registrations it is given and
// keeps every factory it saw alive, so factory identities stay comparable.
class TFakeSession : public IInternetSession {
public:
    struct TCall {
        bool Register;
        String Scheme;
        IClassFactory* Factory;
    };

    HRESULT FOLIVANT_COMCALL QueryInterface(const TGUID& iid, void** obj) override {
        if (iid == IID_IUnknown || iid == IID_IInternetSession) {
            *obj = static_cast<IInternetSession*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG FOLIVANT_COMCALL AddRef() override { return ++Refs; }
    ULONG FOLIVANT_COMCALL Release() override { return --Refs; }
    HRESULT FOLIVANT_COMCALL RegisterNameSpace(IClassFactory* pCF, const TGUID& rclsid,
                                               const TUrlChar* scheme, ULONG cPatterns,
                                               const TUrlChar* const* patterns,
                                               DWORD reserved) override {
        EXPECT_TRUE(rclsid == IID_IInternetProtocol);
        EXPECT_EQ(cPatterns, 0u);
        EXPECT_EQ(patterns, nullptr);
        Calls.push_back({true, Text(scheme), pCF});
        Factories.emplace_back(pCF);
        return S_OK;
    }
    HRESULT FOLIVANT_COMCALL UnregisterNameSpace(IClassFactory* pCF,
                                                 const TUrlChar* scheme) override {
        Calls.push_back({false, Text(scheme), pCF});
        return S_OK;
    }
#ifdef _WIN32
    // The rest of the system's session, which the content protocol never uses.
    HRESULT FOLIVANT_COMCALL RegisterMimeFilter(IClassFactory*, REFCLSID, LPCWSTR) override {
        return E_NOTIMPL;
    }
    HRESULT FOLIVANT_COMCALL UnregisterMimeFilter(IClassFactory*, LPCWSTR) override {
        return E_NOTIMPL;
    }
    HRESULT FOLIVANT_COMCALL CreateBinding(LPBC, LPCWSTR, IUnknown*, IUnknown**,
                                           IInternetProtocol**, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT FOLIVANT_COMCALL SetSessionOption(DWORD, LPVOID, DWORD, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT FOLIVANT_COMCALL GetSessionOption(DWORD, LPVOID, DWORD*, DWORD) override {
        return E_NOTIMPL;
    }
#endif

    std::atomic<ULONG> Refs{0};
    std::vector<TCall> Calls;
    std::vector<TComPtr<IClassFactory>> Factories;
};

class TFakeSink : public IInternetProtocolSink {
public:
    HRESULT FOLIVANT_COMCALL QueryInterface(const TGUID& iid, void** obj) override {
        return E_NOINTERFACE;
    }
    ULONG FOLIVANT_COMCALL AddRef() override { return ++Refs; }
    ULONG FOLIVANT_COMCALL Release() override { return --Refs; }
    HRESULT FOLIVANT_COMCALL Switch(TProtocolData*) override { return E_NOTIMPL; }
    HRESULT FOLIVANT_COMCALL ReportProgress(ULONG, const TUrlChar*) override {
        ++Progress;
        return S_OK;
    }
    HRESULT FOLIVANT_COMCALL ReportData(DWORD flags, ULONG progress, ULONG max) override {
        Data.push_back({flags, progress, max});
        return S_OK;
    }
    HRESULT FOLIVANT_COMCALL ReportResult(HRESULT hr, DWORD, const TUrlChar*) override {
        Results.push_back(hr);
        return S_OK;
    }

    std::atomic<ULONG> Refs{0};
    int Progress = 0;
    std::vector<std::array<ULONG, 3>> Data;
    std::vector<HRESULT> Results;
};

// A memory stream that counts how many of its kind are alive.
std::atomic<int> LiveStreams{0};
class TCountedStream : public TMemoryStream {
public:
    explicit TCountedStream(const std::string& bytes) {
        ++LiveStreams;
        if (!bytes.empty()) {
            WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        }
    }
    ~TCountedStream() override { --LiveStreams; }
};

// The GUI thread of the tests: a thread that runs posted calls in order,
// with a nested loop for event handlers that show something modal.
class TFakeGuiThread {
public:
    TFakeGuiThread() : FThread([this] { Loop([this] { return FStop; }); }) {}
    ~TFakeGuiThread() {
        Post([this] { FStop = true; });
        FThread.join();
    }

    std::thread::id Id() const { return FThread.get_id(); }

    void Post(std::function<void()> call) {
        {
            std::lock_guard guard(FLock);
            FQueue.push_back(std::move(call));
        }
        FWake.notify_all();
    }

    // Runs posted calls until done() holds; called on the GUI thread.
    void Loop(const std::function<bool()>& done) {
        while (!done()) {
            std::function<void()> call;
            {
                std::unique_lock lock(FLock);
                FWake.wait(lock, [&] { return !FQueue.empty(); });
                call = std::move(FQueue.front());
                FQueue.pop_front();
            }
            call();
        }
    }

    // Runs call on the GUI thread and waits for it.
    void Run(const std::function<void()>& call) {
        if (std::this_thread::get_id() == Id()) {
            call();
            return;
        }
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        std::exception_ptr error;
        Post([&] {
            try {
                call();
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard guard(m);
            done = true;
            cv.notify_all();
        });
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return done; });
        if (error) {
            std::rethrow_exception(error);
        }
    }

private:
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<std::function<void()>> FQueue;
    bool FStop = false;
    std::thread FThread;
};

class TFakeDispatcher : public TDispatcher {
public:
    explicit TFakeDispatcher(TFakeGuiThread& gui) : FGui(gui) {}
    void Send(const std::function<void()>& call) override { FGui.Run(call); }

private:
    TFakeGuiThread& FGui;
};

class AsyncPlugProto : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeProtocolRegistry();
        FPreviousProvider = SetInternetSessionProvider([this](IInternetSession** session) {
            Sessions.push_back(std::make_unique<TFakeSession>());
            *session = Sessions.back().get();
            (*session)->AddRef();
            return S_OK;
        });
        FPreviousFactory =
            SetDispatcherFactory([this] { return std::make_unique<TFakeDispatcher>(Gui); });
    }
    void TearDown() override {
        FinalizeProtocolRegistry();
        SetInternetSessionProvider(FPreviousProvider);
        SetDispatcherFactory(FPreviousFactory);
        EXPECT_EQ(LiveStreams.load(), 0);
    }

    // A component created on the GUI thread, as the main window creates it.
    std::unique_ptr<TInternetProtocol> NewProtocol(const String& scheme,
                                                   TProtocolRequest onRequest) {
        std::unique_ptr<TInternetProtocol> protocol;
        Gui.Run([&] {
            protocol = std::make_unique<TInternetProtocol>(nullptr);
            protocol->SetProtocol(scheme);
            protocol->OnRequestStream = std::move(onRequest);
            protocol->SetActive(true);
        });
        return protocol;
    }

    static TComPtr<IInternetProtocol> NewHandler() {
        auto* factory = new TInternetProtocolHandlerFactory;
        TComPtr<IClassFactory> holder(factory);
        TComPtr<IInternetProtocol> handler;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IInternetProtocol, handler.Out()), S_OK);
        return handler;
    }

    static TInternetProtocolHandler* Impl(const TComPtr<IInternetProtocol>& p) {
        return static_cast<TInternetProtocolHandler*>(p.Get());
    }

    std::vector<std::unique_ptr<TFakeSession>> Sessions;
    TFakeGuiThread Gui;

private:
    TInternetSessionProvider FPreviousProvider;
    TDispatcherFactory FPreviousFactory;
};

TProtocolRequest Serve(std::string bytes, String* seen = nullptr) {
    return [bytes, seen](TInternetProtocol*, const String& request, std::unique_ptr<TStream>& s) {
        if (seen != nullptr) {
            *seen = request;
        }
        s = std::make_unique<TCountedStream>(bytes);
    };
}

} // namespace

TEST_F(AsyncPlugProto, ProtocolMustBeAnIdentifier) {
    auto protocol = NewProtocol(u"fvp", Serve("x"));
    for (const String bad : {u"1abc", u"a-b", u"", u"my-scheme", u"a b", u"fvp:"}) {
        try {
            protocol->SetProtocol(bad);
            ADD_FAILURE() << "accepted an invalid scheme";
        } catch (const EInternetException& e) {
            EXPECT_EQ(e.Message(),
                      u"The Internet Protocol selected is not a valid protocol identifier");
        }
        EXPECT_EQ(protocol->Protocol(), u"fvp");
        EXPECT_TRUE(protocol->Active());
        EXPECT_EQ(ProtocolRegistryState().Schemes, std::vector<String>{u"fvp"});
    }
    for (const String good : {u"_", u"a1", u"\u00e9t\u00e9", u"\u0436_9", u"x_y"}) {
        EXPECT_TRUE(TInternetProtocol::IsValidIdent(good));
    }
    EXPECT_FALSE(TInternetProtocol::IsValidIdent(u"9"));
    EXPECT_FALSE(TInternetProtocol::IsValidIdent(u"a\u00b7"));
}

TEST_F(AsyncPlugProto, StartSplitsAtTheFirstColon) {
    String seen;
    auto protocol = NewProtocol(u"fvp", Serve("data", &seen));
    struct {
        const char16_t* Url;
        bool Served;
        const char16_t* Request;
    } cases[] = {
        {u"fvp://site/a.html?x=1", true, u"//site/a.html?x=1"},
        {u"fvp://site/My%20Photo.jpg#top", true, u"//site/My%20Photo.jpg#top"},
        {u"fvp:", true, u""},
        {u"FVP://x", true, u"//x"},
        {u"Fvp:a:b", true, u"a:b"},
        {u"fvp", false, nullptr},
        {u"http://fvp:80/", false, nullptr},
        {u"", false, nullptr},
    };
    for (const auto& c : cases) {
        seen = u"(none)";
        TFakeSink sink;
        auto handler = NewHandler();
        const HRESULT hr = handler->Start(W(c.Url), &sink, nullptr, 0, 0);
        if (c.Served) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(seen, c.Request);
            handler->Terminate(0);
        } else {
            EXPECT_EQ(hr, INET_E_USE_DEFAULT_PROTOCOLHANDLER);
            EXPECT_EQ(seen, u"(none)");
            EXPECT_TRUE(sink.Data.empty());
        }
        EXPECT_EQ(sink.Refs.load(), 0u);
    }
    protocol->OnRequestStream = nullptr;
    TFakeSink sink;
    EXPECT_EQ(NewHandler()->Start(W(u"fvp://x"), &sink, nullptr, 0, 0),
              INET_E_USE_DEFAULT_PROTOCOLHANDLER);
}

TEST_F(AsyncPlugProto, ReadsServeTheStreamInPieces) {
    struct {
        std::string Bytes;
        ULONG Chunk;
        std::vector<std::pair<ULONG, HRESULT>> Reads;
    } cases[] = {
        {"0123456789", 4, {{4, E_PENDING}, {4, E_PENDING}, {2, S_FALSE}}},
        {"", 4, {{0, S_FALSE}}},
        {"abc", 3, {{3, S_FALSE}}},
        {"abc", 100, {{3, S_FALSE}}},
        {"abcd", 0, {{0, E_PENDING}}},
    };
    std::string current;
    auto protocol =
        NewProtocol(u"fvp", [&](TInternetProtocol*, const String&, std::unique_ptr<TStream>& s) {
            s = std::make_unique<TCountedStream>(current);
            s->SetPosition(s->Size()); // Start rewinds it.
        });
    for (const auto& c : cases) {
        current = c.Bytes;
        TFakeSink sink;
        auto handler = NewHandler();
        ASSERT_EQ(handler->Start(W(u"fvp://x"), &sink, nullptr, 0, 0), S_OK);
        const auto size = static_cast<ULONG>(c.Bytes.size());
        ASSERT_EQ(sink.Data.size(), 1u);
        EXPECT_EQ(sink.Data[0], (std::array<ULONG, 3>{13, size, size}));
        EXPECT_EQ(sink.Results, std::vector<HRESULT>{S_OK});
        EXPECT_EQ(sink.Progress, 0);
        std::string got;
        for (const auto& [count, hr] : c.Reads) {
            char buffer[128];
            ULONG read = 99;
            EXPECT_EQ(handler->Read(buffer, c.Chunk, &read), hr);
            EXPECT_EQ(read, count);
            got.append(buffer, read);
        }
        if (c.Chunk > 0) {
            EXPECT_EQ(got, c.Bytes);
        }
        handler->Terminate(0);
        EXPECT_FALSE(Impl(handler)->HoldsStream());
    }
}

TEST_F(AsyncPlugProto, AStreamShorterThanItsSizeEndsTheData) {
    // Claims 100 bytes and gives 3: the reader must see the end, not an
    // endless E_PENDING.
    class TShortStream : public TCountedStream {
    public:
        TShortStream() : TCountedStream("abc") {}
        std::int64_t Size() override { return 100; }
    };
    auto protocol =
        NewProtocol(u"fvp", [](TInternetProtocol*, const String&, std::unique_ptr<TStream>& s) {
            s = std::make_unique<TShortStream>();
        });
    TFakeSink sink;
    auto handler = NewHandler();
    ASSERT_EQ(handler->Start(W(u"fvp:x"), &sink, nullptr, 0, 0), S_OK);
    char buffer[8];
    ULONG read = 0;
    EXPECT_EQ(handler->Read(buffer, 2, &read), E_PENDING);
    EXPECT_EQ(handler->Read(buffer, 8, &read), E_PENDING);
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(handler->Read(buffer, 8, &read), S_FALSE);
    EXPECT_EQ(read, 0u);
    handler->Terminate(0);
}

TEST_F(AsyncPlugProto, HoldsReleaseTheDataAtZero) {
    auto protocol = NewProtocol(u"fvp", Serve("0123456789"));
    TFakeSink sink;
    auto handler = NewHandler();
    ASSERT_EQ(handler->Start(W(u"fvp://x"), &sink, nullptr, 0, 0), S_OK);
    EXPECT_EQ(Impl(handler)->LockCount(), 1);
    EXPECT_EQ(sink.Refs.load(), 1u);
    EXPECT_EQ(handler->LockRequest(0), S_OK);
    EXPECT_EQ(handler->Terminate(0), S_OK);
    EXPECT_EQ(LiveStreams.load(), 1) << "freed while a hold remains";
    EXPECT_EQ(sink.Refs.load(), 1u);
    EXPECT_EQ(handler->UnlockRequest(), S_OK);
    EXPECT_EQ(LiveStreams.load(), 0);
    EXPECT_EQ(sink.Refs.load(), 0u);

    // A declined request holds nothing; Terminate takes the count below zero
    // and releases nothing.
    auto declined = NewHandler();
    EXPECT_EQ(declined->Start(W(u"zzz://x"), &sink, nullptr, 0, 0),
              INET_E_USE_DEFAULT_PROTOCOLHANDLER);
    EXPECT_EQ(Impl(declined)->LockCount(), 0);
    EXPECT_EQ(declined->Terminate(0), S_OK);
    EXPECT_EQ(Impl(declined)->LockCount(), -1);
    ULONG read = 7;
    char buffer[4];
    EXPECT_EQ(declined->Read(buffer, 4, &read), S_FALSE);
    EXPECT_EQ(read, 0u);

    // A handler let go with its data still held frees the stream with itself.
    {
        auto dropped = NewHandler();
        ASSERT_EQ(dropped->Start(W(u"fvp://x"), &sink, nullptr, 0, 0), S_OK);
    }
    EXPECT_EQ(LiveStreams.load(), 0);
    EXPECT_EQ(sink.Refs.load(), 0u);
}

TEST_F(AsyncPlugProto, InterfacesAndFactory) {
    auto* factory = new TInternetProtocolHandlerFactory;
    TComPtr<IClassFactory> holder(factory);
    void* obj = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IInternetProtocolRoot, &obj), E_NOINTERFACE);
    EXPECT_EQ(obj, reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IInternetProtocolSink, &obj), E_NOINTERFACE);

    TComPtr<IUnknown> unknown;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, unknown.Out()), S_OK);
    TComPtr<IInternetProtocol> protocol;
    EXPECT_EQ(unknown->QueryInterface(IID_IInternetProtocol, protocol.Out()), S_OK);
    EXPECT_TRUE(protocol);
    void* root = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(unknown->QueryInterface(IID_IInternetProtocolRoot, &root), E_NOINTERFACE);
    EXPECT_EQ(root, nullptr);

    EXPECT_EQ(protocol->Continue(nullptr), S_OK);
    EXPECT_EQ(protocol->Abort(E_FAIL, 0), E_NOTIMPL);
    EXPECT_EQ(protocol->Suspend(), E_NOTIMPL);
    EXPECT_EQ(protocol->Resume(), E_NOTIMPL);
    EXPECT_EQ(protocol->Seek(TLargeInteger{}, 0, nullptr), E_NOTIMPL);

    EXPECT_EQ(factory->LockServer(1), S_OK);
    EXPECT_EQ(factory->AddRef(), 3u);
    factory->Release();
    EXPECT_EQ(factory->LockServer(0), S_OK);
    EXPECT_EQ(factory->AddRef(), 2u);
    factory->Release();
}

TEST_F(AsyncPlugProto, LatestActivationWins) {
    String seenA = u"-", seenB = u"-";
    auto a = NewProtocol(u"fvp", Serve("a", &seenA));
    auto b = NewProtocol(u"FVP", Serve("b", &seenB));
    EXPECT_FALSE(a->Active());
    EXPECT_TRUE(b->Active());
    EXPECT_EQ(ProtocolRegistryState().Schemes, std::vector<String>{u"FVP"});
    // The previous owner's unregistration empties the list, so the new
    // owner registers with a session of its own.
    ASSERT_EQ(Sessions.size(), 2u);
    const auto& first = Sessions[0]->Calls;
    ASSERT_EQ(first.size(), 2u);
    EXPECT_TRUE(first[0].Register && first[0].Scheme == u"fvp");
    EXPECT_TRUE(!first[1].Register && first[1].Scheme == u"fvp");
    ASSERT_EQ(Sessions[1]->Calls.size(), 1u);
    EXPECT_TRUE(Sessions[1]->Calls[0].Register && Sessions[1]->Calls[0].Scheme == u"FVP");

    TFakeSink sink;
    auto handler = NewHandler();
    ASSERT_EQ(handler->Start(W(u"fvp://x"), &sink, nullptr, 0, 0), S_OK);
    handler->Terminate(0);
    EXPECT_EQ(seenA, u"-");
    EXPECT_EQ(seenB, u"//x");

    // Renaming an active component moves its registration.
    Gui.Run([&] { b->SetProtocol(u"other"); });
    EXPECT_TRUE(b->Active());
    EXPECT_EQ(ProtocolRegistryState().Schemes, std::vector<String>{u"other"});
    EXPECT_EQ(NewHandler()->Start(W(u"fvp://x"), &sink, nullptr, 0, 0),
              INET_E_USE_DEFAULT_PROTOCOLHANDLER);

    // An owner frees its component, which unregisters the scheme.
    Gui.Run([&] {
        auto* owner = new TComponent(nullptr);
        auto* owned = new TInternetProtocol(owner);
        owned->SetProtocol(u"owned");
        owned->SetActive(true);
        EXPECT_EQ(ProtocolRegistryState().Schemes.size(), 2u);
        delete owner;
    });
    EXPECT_EQ(ProtocolRegistryState().Schemes, std::vector<String>{u"other"});
    Gui.Run([&] {
        a.reset();
        b.reset();
    });
}

TEST_F(AsyncPlugProto, SessionAndFactoryLiveWhileASchemeIsRegistered) {
    auto protocol = NewProtocol(u"fvp", Serve("x"));
    ASSERT_EQ(Sessions.size(), 1u);
    EXPECT_EQ(ProtocolRegistryState().Session, Sessions[0].get());
    IClassFactory* firstFactory = ProtocolRegistryState().Factory;
    ASSERT_NE(firstFactory, nullptr);

    Gui.Run([&] { protocol->SetActive(false); });
    EXPECT_EQ(ProtocolRegistryState().Session, nullptr);
    EXPECT_EQ(ProtocolRegistryState().Factory, nullptr);
    EXPECT_EQ(Sessions[0]->Refs.load(), 0u) << "session reference dropped";

    Gui.Run([&] { protocol->SetActive(true); });
    ASSERT_EQ(Sessions.size(), 2u) << "a fresh session for the new registration";
    EXPECT_EQ(ProtocolRegistryState().Session, Sessions[1].get());
    // The first session still holds the first factory, so a new one cannot
    // share its address.
    EXPECT_NE(ProtocolRegistryState().Factory, firstFactory);
    EXPECT_EQ(Sessions[1]->Calls.back().Factory, ProtocolRegistryState().Factory);

    // Finalising deactivates what is still registered.
    FinalizeProtocolRegistry();
    EXPECT_FALSE(protocol->Active());
    EXPECT_EQ(Sessions[1]->Refs.load(), 0u);
    TFakeSink sink;
    EXPECT_EQ(NewHandler()->Start(W(u"fvp://x"), &sink, nullptr, 0, 0),
              INET_E_USE_DEFAULT_PROTOCOLHANDLER);
    EXPECT_THROW(protocol->SetActive(true), EInternetException);
    EXPECT_FALSE(protocol->Active());
    InitializeProtocolRegistry();
}

TEST_F(AsyncPlugProto, WithoutASessionTheSchemeStaysListed) {
    SetInternetSessionProvider(nullptr);
    auto protocol = NewProtocol(u"fvp", Serve("abc"));
    EXPECT_TRUE(protocol->Active());
    EXPECT_EQ(ProtocolRegistryState().Session, nullptr);
    Gui.Run([&] { protocol.reset(); });
    EXPECT_TRUE(ProtocolRegistryState().Schemes.empty());
}

TEST_F(AsyncPlugProto, ActivationWhileLoadingWaitsForLoaded) {
    Gui.Run([&] {
        TInternetProtocol protocol(nullptr);
        protocol.BeginLoading();
        protocol.SetProtocol(u"fvp");
        protocol.SetActive(true);
        EXPECT_TRUE(protocol.Active());
        EXPECT_TRUE(ProtocolRegistryState().Schemes.empty());
        protocol.Loaded();
        EXPECT_EQ(ProtocolRegistryState().Schemes, std::vector<String>{u"fvp"});
    });
    EXPECT_TRUE(ProtocolRegistryState().Schemes.empty());
}

TEST_F(AsyncPlugProto, EventsRunOnTheComponentThreadAndErrorsReachTheCaller) {
    std::thread::id eventThread;
    auto protocol = NewProtocol(
        u"fvp", [&](TInternetProtocol*, const String& request, std::unique_ptr<TStream>& s) {
            eventThread = std::this_thread::get_id();
            if (request == u"boom") {
                throw EInternetException(u"boom");
            }
            s = std::make_unique<TCountedStream>("ok");
        });
    TFakeSink sink;
    auto handler = NewHandler();
    EXPECT_THROW(handler->Start(W(u"fvp:boom"), &sink, nullptr, 0, 0), EInternetException);
    EXPECT_EQ(eventThread, Gui.Id());
    // The lock was left on the way out: requests from other threads proceed.
    std::thread other([&] {
        auto h = NewHandler();
        EXPECT_EQ(h->Start(W(u"fvp:fine"), &sink, nullptr, 0, 0), S_OK);
        h->Terminate(0);
    });
    other.join();
}

TEST_F(AsyncPlugProto, RequestInsideAModalLoopReentersTheRegistry) {
    std::vector<String> order;
    std::atomic<bool> modalShown{false};
    bool innerDone = false;
    auto protocol = NewProtocol(
        u"fvp", [&](TInternetProtocol*, const String& request, std::unique_ptr<TStream>& s) {
            order.push_back(u"begin " + request);
            if (request == u"outer") {
                // A message box: the GUI thread runs a nested loop, in which a
                // further request starts on the same thread.
                modalShown = true;
                Gui.Loop([&] { return innerDone; });
            }
            s = std::make_unique<TCountedStream>(std::string(request.begin(), request.end()));
            order.push_back(u"end " + request);
        });
    std::atomic<bool> outerDone{false};
    Gui.Post([&] {
        TFakeSink sink;
        auto handler = NewHandler();
        EXPECT_EQ(handler->Start(W(u"fvp:outer"), &sink, nullptr, 0, 0), S_OK);
        handler->Terminate(0);
        outerDone = true;
    });
    while (!modalShown) {
        std::this_thread::yield();
    }
    Gui.Post([&] {
        TFakeSink sink;
        auto handler = NewHandler();
        EXPECT_EQ(handler->Start(W(u"fvp:inner"), &sink, nullptr, 0, 0), S_OK);
        char buffer[8];
        ULONG read = 0;
        EXPECT_EQ(handler->Read(buffer, 8, &read), S_FALSE);
        EXPECT_EQ(std::string(buffer, read), "inner");
        handler->Terminate(0);
        innerDone = true;
    });
    Gui.Run([] {});
    EXPECT_TRUE(outerDone);
    EXPECT_EQ(order,
              (std::vector<String>{u"begin outer", u"begin inner", u"end inner", u"end outer"}));
}

TEST_F(AsyncPlugProto, ManyThreadsStartAtOnce) {
    std::atomic<int> offThread{0};
    const std::thread::id gui = Gui.Id();
    auto protocol = NewProtocol(
        u"fvp", [&](TInternetProtocol*, const String& request, std::unique_ptr<TStream>& s) {
            if (std::this_thread::get_id() != gui) {
                ++offThread;
            }
            s = std::make_unique<TCountedStream>(std::string(request.begin(), request.end()));
        });
    constexpr int Threads = 8;
    constexpr int Requests = 10000;
    std::atomic<int> ok{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = t; i < Requests; i += Threads) {
                const std::string text = "//site/" + std::to_string(i);
                const String url = u"fvp:" + String(text.begin(), text.end());
                TFakeSink sink;
                auto handler = NewHandler();
                if (handler->Start(W(url.c_str()), &sink, nullptr, 0, 0) != S_OK) {
                    continue;
                }
                std::string got;
                char buffer[5];
                ULONG read = 0;
                HRESULT hr;
                do {
                    hr = handler->Read(buffer, sizeof buffer, &read);
                    got.append(buffer, read);
                } while (hr == E_PENDING);
                handler->Terminate(0);
                if (hr == S_FALSE && got == text && sink.Refs == 0) {
                    ++ok;
                }
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(ok.load(), Requests);
    EXPECT_EQ(offThread.load(), 0);
    EXPECT_EQ(LiveStreams.load(), 0);
}
