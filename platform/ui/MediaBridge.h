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
// TMediaEndpoint; the bridge puts it into the engine. Entries are decoded
// into memory only; nothing is written to disk. Only media elements are
// affected: links and navigations are untouched.
//
// The run's one bridge is started once the content protocol exists, with
// the entry source of the publication's archive; every web view created
// from then on carries its script.

#include "platform/MediaEndpoint.h"

namespace Folivant::Platform {

// Starts the run's bridge over source; later calls keep the first. Raises
// Exception when no loopback port can be bound.
void StartMediaBridge(TMediaEntrySource source);
// Stops it: waiting requests end, entries are freed.
void StopMediaBridge();

} // namespace Folivant::Platform
