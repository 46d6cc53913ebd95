#pragma once

// The media bridge on WebKitGTK (see platform/ui/MediaBridge.h): the page
// script goes into each user content manager of a web view, injected at
// document start into every frame. (The engine's player keeps
// its own download buffer in a temporary file, which the engine's sandbox
// puts into a private in-memory file system.)
//
//     Folivant::Platform::TMediaBridge::InstallInto(content);

#include "base/Classes.h"
#include "platform/MediaEndpoint.h"
#include "platform/ui/MediaBridge.h"

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
    // keep the first; StartMediaBridge), Stop ends it (StopMediaBridge),
    // InstallInto adds its script to manager when it runs.
    static TMediaBridge& Start(TMediaEntrySource source);
    static void Stop();
    static TMediaBridge* Global();
    static void InstallInto(WebKitUserContentManager* manager);

private:
    TMediaEndpoint FEndpoint;
};

} // namespace Folivant::Platform
