#pragma once

// Audio and video of publication pages. The engine's media player cannot
// read fvp: addresses, so the runtime serves media entries on a private
// loopback endpoint: an HTTP server on 127.0.0.1 at a random port, every
// address carrying a token drawn at random for the run, answering GET and
// HEAD with byte ranges from the decoded entry and nothing else (404). A
// script added to publication pages gives every audio and video source that
// names an archive entry the endpoint address instead; the page still reads
// its fvp: address from src, currentSrc and getAttribute. Pages from
// anywhere else get no script and never learn the port or the token.
//
// Entries are decoded on a thread of the endpoint's own, so the window never
// waits for them, and served while they decode: a request is answered as
// soon as the bytes it asks for are decoded, so media whose headers come
// first start playing long before the whole entry is decoded.
//
// Each element source is a lease on the endpoint. The decoded entry is kept
// while a lease or a request uses it (and a few seconds longer, so that
// setting the same source again costs nothing), shared by every element
// that plays it: seeking and playing again read the bytes already decoded.
// Entries are decoded into memory only; nothing is written to disk. (The
// engine's player keeps its own download buffer in a temporary file, which
// the engine's sandbox puts into a private in-memory file system.)
//
// Only media elements are affected: links and navigations are untouched, so
// links to files of the save kinds still reach the save dialog.
//
// The main window starts the endpoint once, after the fvp protocol exists:
//
//     Folivant::Platform::TMediaBridge::Start(source);
//
// and the browser control adds the script to each user content manager it
// creates:
//
//     Folivant::Platform::TMediaBridge::InstallInto(content);

#include "archive/Classes.h"

#include <webkit2/webkit2.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Folivant::Archive {
class TZipReader;
}

namespace Folivant::Platform {

// The archive as the endpoint reads it. Both functions run on the
// endpoint's decoding thread, one call at a time, never on the GUI thread.
struct TMediaEntrySource {
    // The size the entry that url (a full fvp: URL) names decodes to, or -1
    // when there is no such entry.
    std::function<std::int64_t(const String& url)> Find;
    // Writes the bytes of that entry into out, in order. Stops early when a
    // write raises (the endpoint stops or nobody wants the entry any more).
    std::function<void(const String& url, TStream& out)> Extract;
};

class TMediaBridge {
public:
    // Starts the endpoint. Raises Exception when no loopback port can be
    // bound.
    explicit TMediaBridge(TMediaEntrySource source);
    // Stops the endpoint: waiting requests end, entries are freed.
    ~TMediaBridge();
    TMediaBridge(const TMediaBridge&) = delete;
    TMediaBridge& operator=(const TMediaBridge&) = delete;

    // Adds the page script to manager, injected at document start into
    // every frame. Installing into the same manager again changes nothing.
    void Install(WebKitUserContentManager* manager) const;

    // "http://127.0.0.1:<port>/<token>/", the start of every endpoint address.
    const std::string& Prefix() const;
    std::uint16_t Port() const;
    // How many entries are decoded and held now, and how many decodings
    // have run since the start.
    std::size_t HeldEntries() const;
    std::uint64_t Decodings() const;

    // The process-wide endpoint: Start creates it once per run (later calls
    // keep the first), Stop ends it, InstallInto adds its script to manager
    // when it runs.
    static TMediaBridge& Start(TMediaEntrySource source);
    static void Stop();
    static TMediaBridge* Global();
    static void InstallInto(WebKitUserContentManager* manager);

    // An entry source over the publication archive that resolves a URL as
    // the content protocol does. It reads through a reader of its own over
    // the same archive memory (opened on first use, on the decoding thread),
    // so zipFile stays the GUI thread's alone. zipFile must read from a
    // memory stream that outlives the source; raises Exception otherwise.
    static TMediaEntrySource ArchiveSource(const Archive::TZipReader& zipFile);

    struct TState;

private:
    std::shared_ptr<TState> FState;
};

} // namespace Folivant::Platform
