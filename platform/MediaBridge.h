#pragma once

// Audio and video of publication pages. The engine's media player cannot
// read fvp: addresses, so a script added to publication pages reads every
// media source that names an archive entry through the content protocol,
// keeps its bytes in memory as a Blob and gives the element an object URL
// for it; the page still reads its fvp: address from src and currentSrc.
// Seeking and repeated plays read the Blob, so an entry is decoded once per
// document however often it is played, and elements of one document that
// play the same entry share one Blob. The Blob is let go when no element
// uses it any more (its source changed, the element was collected, the
// document closed).
//
// Only media elements are affected: links and navigations are untouched, so
// links to files of the save kinds still reach the save dialog. Pages from
// anywhere other than fvp: are left as the engine made them.
//
// The browser control calls, once for each user content manager it creates:
//
//     Folivant::Platform::TMediaBridge::Install(content);

#include <webkit2/webkit2.h>

namespace Folivant::Platform {

// Class methods only; never instantiated.
class TMediaBridge {
public:
    TMediaBridge() = delete;

    // Adds the media script to manager, injected at document start into
    // every frame. Installing into the same manager again changes nothing.
    static void Install(WebKitUserContentManager* manager);

    // The script's source text.
    static const char* Script();
};

} // namespace Folivant::Platform
