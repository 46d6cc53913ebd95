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
// The endpoint itself (connections, limits, decoded entries) is
// TMediaEndpoint; this unit puts it into the engine: the page script, the
// run's one endpoint and the archive it reads. Entries are decoded into
// memory only; nothing is written to disk. (The engine's player keeps its
// own download buffer in a temporary file, which the engine's sandbox puts
// into a private in-memory file system.)
//
// Only media elements are affected: links and navigations are untouched, so
// links to files of the save kinds still reach the save dialog.
//
// The main window starts the endpoint once, after the fvp protocol exists:
//
//     Folivant::Platform::TMediaBridge::Start(
//         Folivant::Shared::MediaEntrySource(archive));
//
// and the browser control adds the script to each user content manager it
// creates:
//
//     Folivant::Platform::TMediaBridge::InstallInto(content);

#include "base/Classes.h"
#include "platform/MediaEndpoint.h"

#include <webkit2/webkit2.h>

#include <cstdint>
#include <string>

namespace Folivant::Platform {

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

private:
    TMediaEndpoint FEndpoint;
};

} // namespace Folivant::Platform
