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

#include "base/Classes.h"
#include "archive/ZipReader.h"
#include "shared/AsyncPlugProto.h"

#include <functional>
#include <memory>

namespace Folivant::Shared {

// Shows a failure text in the application's modal message box with one OK
// button.
using TFvpMessage = std::function<void(const String& text)>;

// The archive as request resolution uses it: the publication's ZIP reader in
// the runtime, other sources in tools and tests.
class TFvpArchive {
public:
    virtual ~TFvpArchive() = default;
    // Index of the entry named name, or -1.
    virtual int FindFile(const String& name) const = 0;
    // Decodes the entry named name into stream at its position.
    virtual void ExtractToStream(const String& name, TStream& stream) = 0;
};

// The publication archive's reader as a TFvpArchive; the reader is not owned.
class TZipFvpArchive : public TFvpArchive {
public:
    explicit TZipFvpArchive(Archive::TZipReader& zipFile) : FZipFile(zipFile) {}
    int FindFile(const String& name) const override { return FZipFile.FindFile(name); }
    void ExtractToStream(const String& name, TStream& stream) override {
        FZipFile.ExtractToStream(name, stream);
    }

private:
    Archive::TZipReader& FZipFile;
};

class TFvpResolver {
public:
    TFvpResolver(Archive::TZipReader& zipFile, TFvpMessage onMessage);
    TFvpResolver(std::unique_ptr<TFvpArchive> archive, TFvpMessage onMessage);

    // The entry name for a request text (the URL after its first ":"):
    // percent-decoded, leading and trailing "/" removed, cut at the first
    // "?" or "#". Empty when an escape is malformed.
    static String EntryName(const String& request);

    // The archive entry a request resolves to: EntryName, or, when the
    // archive has no such entry and the decoded bytes form UTF-8 (the
    // engine percent-encodes non-ASCII names as UTF-8), the UTF-8 reading;
    // failing both, the same two readings with "+" kept as "+". Empty when
    // none exists. Every mapping of an fvp URL to an entry goes through it.
    String FindEntry(const String& request) const;

    // The request event of the fvp component. On return Stream is empty
    // (declined) or a memory stream at position 0 holding the entry, or
    // after an extraction failure what was extracted, the failure shown
    // through the message callback. Never raises.
    void FvpProtocolRequestStream(TInternetProtocol* Sender, const String& Request,
                                  std::unique_ptr<TStream>& Stream);

private:
    std::unique_ptr<TFvpArchive> FArchive;
    TFvpMessage FOnMessage;
};

// Creates, configures and activates the fvp protocol component.
std::unique_ptr<TInternetProtocol> CreateFvpProtocol(Archive::TZipReader& zipFile,
                                                     TFvpMessage onMessage);
std::unique_ptr<TInternetProtocol> CreateFvpProtocol(std::unique_ptr<TFvpArchive> archive,
                                                     TFvpMessage onMessage);

} // namespace Folivant::Shared
