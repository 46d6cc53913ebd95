#pragma once

// Answers fvp:// requests from the publication archive: maps the request
// text to an archive entry name and extracts that entry into a fresh memory
// stream for every request (no caching, so two requests get two independent
// streams).
//
// The main window uses one call:
//
//     FFvpProtocol = Folivant::Shared::CreateFvpProtocol(
//         GlobalExeHtmlSite->ZipFile(), [](const String& text) {
//             Platform::MessageBox(text, Application title, Platform::MB_OK);
//         });
//
// It creates the protocol component without an owner, sets its scheme to
// "fvp", binds the request handler and activates it, so the scheme is
// registered when it returns. Destroying the component (resetting the
// pointer) unregisters the scheme; do it after the browser window is freed.
// The archive must outlive the component.

#include "archive/Classes.h"
#include "archive/ZipReader.h"
#include "shared/AsyncPlugProto.h"

#include <functional>
#include <memory>

namespace Folivant::Shared {

// Shows a failure text in the application's modal message box with one OK
// button.
using TFvpMessage = std::function<void(const String& text)>;

class TFvpResolver {
public:
    TFvpResolver(Archive::TZipReader& zipFile, TFvpMessage onMessage);

    // The entry name for a request text (the URL after its first ":"):
    // percent-decoded, leading and trailing "/" removed, cut at the first
    // "?" or "#". Empty when an escape is malformed.
    static String EntryName(const String& request);

    // The archive entry a request resolves to: EntryName, or, when the
    // archive has no such entry and the decoded bytes form UTF-8 (the
    // engine percent-encodes non-ASCII names as UTF-8), the UTF-8 reading.
    // Empty when neither exists.
    String FindEntry(const String& request) const;

    // The request event of the fvp component. On return Stream is empty
    // (declined) or a memory stream at position 0 holding the entry, or
    // after an extraction failure what was extracted, the failure shown
    // through the message callback. Never raises.
    void FvpProtocolRequestStream(TInternetProtocol* Sender, const String& Request,
                                  std::unique_ptr<TStream>& Stream);

private:
    Archive::TZipReader& FZipFile;
    TFvpMessage FOnMessage;
};

// Creates, configures and activates the fvp protocol component.
std::unique_ptr<TInternetProtocol> CreateFvpProtocol(Archive::TZipReader& zipFile,
                                                     TFvpMessage onMessage);

} // namespace Folivant::Shared
