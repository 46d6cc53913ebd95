// Percent-decoding and the whole resolution of an fvp URL: the text goes
// through UrlDecode, then through the fvp component, the handler's Start
// and Read, and the lookup in a small publication archive. Whatever the
// text, nothing may crash, and what is served must be an entry's bytes.

#include "base/Classes.h"
#include "base/Text.h"
#include "archive/ZipReader.h"
#include "archive/ZipWriter.h"
#include "shared/AsyncPlugProto.h"
#include "shared/FvpResolver.h"
#include "shared/StrUtils.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

using namespace Folivant;
using namespace Folivant::Shared;

namespace {

const std::map<std::string, std::string> Entries = {
    {"site/index.html", "<html>index</html>"}, {"site/a b.html", "a b"}, {"site/a", "just a"},
    {"site/\xc3\xa9t\xc3\xa9.html", "ete"},    {"site/empty.txt", ""},   {"site/docs/", ""},
};

struct TFixture {
    TMemoryStream Data;
    Archive::TZipReader Zip;
    std::unique_ptr<TInternetProtocol> Protocol;
    std::vector<String> Messages;

    TFixture() {
        Archive::TZipWriter writer(Data);
        for (const auto& [name, bytes] : Entries) {
            if (name.back() == '/') {
                writer.AddDirectory(name);
            } else {
                writer.AddBytes(name, bytes);
            }
        }
        writer.Finish();
        Zip.Password = Archive::ArchivePassword;
        Zip.SetStream(&Data);
        InitializeProtocolRegistry();
        Protocol = CreateFvpProtocol(Zip, [this](const String& m) { Messages.push_back(m); });
    }
};

class TSink : public IInternetProtocolSink {
public:
    HRESULT QueryInterface(const TGUID&, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++Refs; }
    ULONG Release() override { return --Refs; }
    HRESULT Switch(TProtocolData*) override { return E_NOTIMPL; }
    HRESULT ReportProgress(ULONG, const char16_t*) override { return S_OK; }
    HRESULT ReportData(DWORD, ULONG, ULONG) override { return S_OK; }
    HRESULT ReportResult(HRESULT, DWORD, const char16_t*) override { return S_OK; }
    ULONG Refs = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TFixture* fixture = new TFixture;

    // The first byte chooses how the rest becomes UTF-16: as UTF-8 text (as
    // the engine hands URLs over) or as raw code units.
    String text;
    if (size > 0 && (data[0] & 1) != 0) {
        for (std::size_t i = 1; i + 1 < size; i += 2) {
            text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
        }
    } else if (size > 0) {
        text = Utf8ToString(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    }

    const String decoded = TStrUtils::UrlDecode(text);
    if (decoded.size() > text.size()) {
        std::abort(); // decoding never lengthens the text
    }
    if (text.find(u'%') == String::npos) {
        String plus = text;
        for (char16_t& c : plus) {
            if (c == u'+') {
                c = u' ';
            }
        }
        if (decoded != plus) {
            std::abort();
        }
    }
    const String name = TFvpResolver::EntryName(text);
    if (!name.empty() && (name.front() == u'/' || name.find_first_of(u"?#") != String::npos)) {
        std::abort();
    }

    for (const String& url : {u"fvp:" + text, text}) {
        TSink sink;
        TComPtr<IInternetProtocol> handler;
        TComPtr<IClassFactory>(new TInternetProtocolHandlerFactory)
            ->CreateInstance(nullptr, IID_IInternetProtocol, handler.Out());
        if (handler->Start(url.c_str(), &sink, nullptr, 0, 0) == S_OK) {
            std::string served;
            char buffer[7];
            HRESULT hr;
            do {
                ULONG read = 0;
                hr = handler->Read(buffer, sizeof buffer, &read);
                served.append(buffer, read);
            } while (hr == E_PENDING);
            handler->Terminate(0);
            // The handler sees the URL up to its first NUL, as the engine
            // hands it over zero-terminated.
            const String seen = url.substr(0, url.find(u'\0'));
            const String request = seen.substr(seen.find(u':') + 1);
            const TFvpResolver resolver(fixture->Zip, nullptr);
            const String entry = resolver.FindEntry(request);
            bool matches = false;
            for (const auto& [stored, bytes] : Entries) {
                if (Utf8ToString(stored).size() == entry.size() && served == bytes &&
                    fixture->Zip.FindFile(entry) >= 0) {
                    matches = true;
                }
            }
            if (entry.empty() || !matches) {
                std::abort();
            }
        }
        if (sink.Refs != 0) {
            std::abort(); // the sink is released once the request ends
        }
    }
    if (!fixture->Messages.empty()) {
        std::abort(); // the archive is sound: no extraction fails
    }
    return 0;
}
