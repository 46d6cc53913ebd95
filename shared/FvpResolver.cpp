#include "shared/FvpResolver.h"

#include "base/Text.h"
#include "shared/FvpScheme.h"
#include "shared/StrUtils.h"

#include <string>

namespace Folivant::Shared {

namespace {

// Replaces the first two "%s" of format with the arguments in turn. The
// search for the second goes on after the first argument, so a "%s" inside
// an entry name stays part of the name.
String FormatMessage(String format, const String& first, const String& second) {
    std::size_t from = 0;
    for (const String* arg : {&first, &second}) {
        const std::size_t at = format.find(u"%s", from);
        if (at == String::npos) {
            break;
        }
        format.replace(at, 2, *arg);
        from = at + arg->size();
    }
    return format;
}

String ErrorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::bad_alloc&) {
        return u"Out of memory";
    } catch (const std::exception& e) {
        return Utf8ToString(e.what());
    } catch (...) {
        return u"Unknown error";
    }
}

// The decoded name read as UTF-8, when every code unit is a byte, some are
// not ASCII and together they form well-formed UTF-8; otherwise empty.
String Utf8Reading(const String& name) {
    std::string bytes;
    bytes.reserve(name.size());
    bool nonAscii = false;
    for (char16_t c : name) {
        if (c > 0xFF) {
            return {};
        }
        nonAscii = nonAscii || c >= 0x80;
        bytes.push_back(static_cast<char>(c));
    }
    if (!nonAscii || !IsWellFormedUtf8(bytes)) {
        return {};
    }
    return Utf8ToString(bytes);
}

} // namespace

TFvpResolver::TFvpResolver(Archive::TZipReader& zipFile, TFvpMessage onMessage)
    : TFvpResolver(std::make_unique<TZipFvpArchive>(zipFile), std::move(onMessage)) {}

TFvpResolver::TFvpResolver(std::unique_ptr<TFvpArchive> archive, TFvpMessage onMessage)
    : FArchive(std::move(archive)), FOnMessage(std::move(onMessage)) {}

String TFvpResolver::EntryName(const String& request) {
    String name = TStrUtils::UrlDecode(request);
    name = TStrUtils::RemoveSideSlashes(name);
    return TStrUtils::RemoveQueryFromUri(name);
}

String TFvpResolver::FindEntry(const String& request) const {
    // The request's own reading first; then, for a request with "+" in it,
    // the reading that keeps "+" as itself: the engine leaves "+" in a path
    // as it is, so a link to "a+b.zip" names the entry "a+b.zip".
    String readings[2] = {EntryName(request), String()};
    if (request.find(u'+') != String::npos) {
        String literal;
        literal.reserve(request.size() + 8);
        for (char16_t c : request) {
            if (c == u'+') {
                literal += u"%2B";
            } else {
                literal.push_back(c);
            }
        }
        readings[1] = EntryName(literal);
    }
    for (const String& name : readings) {
        if (name.empty()) {
            continue;
        }
        if (FArchive->FindFile(name) >= 0) {
            return name;
        }
        const String utf8 = Utf8Reading(name);
        if (!utf8.empty() && FArchive->FindFile(utf8) >= 0) {
            return utf8;
        }
    }
    return {};
}

void TFvpResolver::FvpProtocolRequestStream(TInternetProtocol* Sender, const String& Request,
                                            std::unique_ptr<TStream>& Stream) {
    Stream.reset();
    String name;
    try {
        name = FindEntry(Request);
        if (name.empty()) {
            return;
        }
        // The stream goes into the slot before extraction starts, so that
        // whatever was extracted before a failure is still served.
        Stream = std::make_unique<TMemoryStream>();
    } catch (...) {
        // Resolution failures (out of memory on a huge URL) decline the
        // request like a missing entry.
        Stream.reset();
        return;
    }
    try {
        FArchive->ExtractToStream(name, *Stream);
    } catch (...) {
        const String text = FormatMessage(u"File \"%s\" can't be read. Error message: %s.", name,
                                          ErrorText(std::current_exception()));
        try {
            if (FOnMessage) {
                FOnMessage(text);
            }
        } catch (...) {
            // The partial response is served even when the message can't be shown.
        }
    }
    Stream->SetPosition(0);
}

std::unique_ptr<TInternetProtocol> CreateFvpProtocol(Archive::TZipReader& zipFile,
                                                     TFvpMessage onMessage) {
    return CreateFvpProtocol(std::make_unique<TZipFvpArchive>(zipFile), std::move(onMessage));
}

std::unique_ptr<TInternetProtocol> CreateFvpProtocol(std::unique_ptr<TFvpArchive> archive,
                                                     TFvpMessage onMessage) {
    auto protocol = std::make_unique<TInternetProtocol>(nullptr);
    protocol->SetProtocol(String(FvpScheme));
    auto resolver = std::make_shared<TFvpResolver>(std::move(archive), std::move(onMessage));
    protocol->OnRequestStream = [resolver](TInternetProtocol* Sender, const String& Request,
                                           std::unique_ptr<TStream>& Stream) {
        resolver->FvpProtocolRequestStream(Sender, Request, Stream);
    };
    protocol->SetActive(true);
    return protocol;
}

} // namespace Folivant::Shared
