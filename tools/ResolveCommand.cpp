// resolve PUB URL: what the runtime answers for an engine request of URL.
// The first line is the archive entry name the URL resolves to, whether or
// not the archive holds it (empty when the name is empty, for instance for
// another scheme);
// then, when the entry exists, exactly the bytes the runtime serves. The
// request runs through the whole protocol chain: the fvp component, the
// handler's Start and Read, and the resolution from the archive.

#include "tools/PackTool.h"

#include "base/Text.h"
#include "shared/AsyncPlugProto.h"
#include "shared/FvpResolver.h"

#include <cstdio>

namespace Folivant::Tools {

namespace {

// Collects nothing: the tool reads the data after Start has reported it.
class TQuietSink : public Shared::IInternetProtocolSink {
public:
    Shared::HRESULT QueryInterface(const Shared::TGUID&, void**) override {
        return Shared::E_NOINTERFACE;
    }
    Shared::ULONG AddRef() override { return 1; }
    Shared::ULONG Release() override { return 1; }
    Shared::HRESULT Switch(Shared::TProtocolData*) override { return Shared::E_NOTIMPL; }
    Shared::HRESULT ReportProgress(Shared::ULONG, const char16_t*) override { return Shared::S_OK; }
    Shared::HRESULT ReportData(Shared::DWORD, Shared::ULONG, Shared::ULONG) override {
        return Shared::S_OK;
    }
    Shared::HRESULT ReportResult(Shared::HRESULT, Shared::DWORD, const char16_t*) override {
        return Shared::S_OK;
    }
};

bool IsFvpScheme(const String& url) {
    const std::size_t colon = url.find(u':');
    if (colon != 3) {
        return false;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        const char16_t c = url[i] >= u'A' && url[i] <= u'Z' ? char16_t(url[i] + 32) : url[i];
        if (c != u"fvp"[i]) {
            return false;
        }
    }
    return true;
}

// Registers the fvp scheme for the command's lifetime, inside a registry of
// its own when the program has none.
class TProtocolScope {
public:
    explicit TProtocolScope(Archive::TZipReader& zip) {
        Shared::InitializeProtocolRegistry();
        FProtocol = Shared::CreateFvpProtocol(
            zip, [](const String& text) { std::fprintf(stderr, "%s\n", Utf8(text).c_str()); });
    }
    ~TProtocolScope() {
        FProtocol.reset();
        Shared::FinalizeProtocolRegistry();
    }

private:
    std::unique_ptr<Shared::TInternetProtocol> FProtocol;
};

} // namespace

int ResolveCommand(std::span<const std::string> args) {
    using namespace Shared;
    const TArguments a = ParseArguments(args, {}, 2, "folivant-pack resolve PUB URL");
    TPublication publication(a.Positional[0]);
    const String url = Utf8ToString(a.Positional[1]);

    String name;
    if (IsFvpScheme(url)) {
        const TFvpResolver resolver(publication.Zip(), nullptr);
        const String request = url.substr(4);
        name = resolver.FindEntry(request);
        if (name.empty()) {
            name = TFvpResolver::EntryName(request);
        }
    }
    WriteStdout(Utf8(name) + "\n");

    TProtocolScope scope(publication.Zip());
    TQuietSink sink;
    TComPtr<IInternetProtocol> handler;
    TComPtr<IClassFactory>(new TInternetProtocolHandlerFactory)
        ->CreateInstance(nullptr, IID_IInternetProtocol, handler.Out());
    // The engine hands URLs over as zero-terminated text.
    if (handler->Start(url.c_str(), &sink, nullptr, 0, 0) != S_OK) {
        return 0;
    }
    std::string buffer(64 * 1024, '\0');
    HRESULT hr;
    do {
        ULONG read = 0;
        hr = handler->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &read);
        WriteStdout(std::string_view(buffer.data(), read));
    } while (hr == E_PENDING);
    handler->Terminate(0);
    return 0;
}

} // namespace Folivant::Tools
