#pragma once

// The loopback HTTP endpoint that serves media entries to the engine's
// player: an HTTP/1.1 server on 127.0.0.1 at several random ports, every
// address carrying a token drawn at random for the run, answering GET and
// HEAD with byte ranges of decoded audio and video entries and nothing else.
//
// Addresses: "/<token>/m/<lease>/<percent-encoded fvp: URL>" reads an entry
// under a lease, "/<token>/r/<lease>" releases the lease (204). Anything else
// is 404; a head that is not HTTP/1.x is 400.
//
// What a client can hold is bounded, whoever it is: every accepted
// connection counts against a cap before a byte of it is read, connections
// past the cap are closed at once, and a connection must deliver a whole
// request head within a short deadline of its start (of the connection, or
// of a later request's first byte); an idle kept-alive connection is closed
// after a longer while. Each connection is served on a thread of its own
// that the endpoint owns and joins, so nothing of a connection outlives the
// endpoint.

#include "platform/MediaCache.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Folivant::Platform {

struct TMediaEndpointLimits {
    // How many loopback ports the endpoint listens on. The engine opens at
    // most six connections per host and port, and a paused element keeps its
    // download's connection, so elements are spread over several ports;
    // otherwise the seventh element would wait for ever.
    std::size_t Ports = 8;
    // Connections open at once, counted from their acceptance.
    std::size_t MaxConnections = 128;
    // A request head must arrive within this.
    std::chrono::milliseconds HeadDeadline{5000};
    // A kept-alive connection may wait this long for its next request, and a
    // blocked answer this long for the client to read on.
    std::chrono::milliseconds IdleTimeout{60000};
};

class TMediaEndpoint {
public:
    // Starts listening. Raises Exception when no loopback port can be bound.
    explicit TMediaEndpoint(TMediaEntrySource source, TMediaEndpointLimits limits = {});
    // Stops: waiting requests end, open connections close, entries are freed.
    ~TMediaEndpoint();
    TMediaEndpoint(const TMediaEndpoint&) = delete;
    TMediaEndpoint& operator=(const TMediaEndpoint&) = delete;

    // "http://127.0.0.1:<port>/<token>/" for every listening port; the
    // first is Prefix() and its port Port().
    const std::vector<std::string>& Prefixes() const;
    const std::string& Prefix() const;
    std::uint16_t Port() const;

    // Entries held now, decodings run so far, connections open now and
    // connections closed at once because of the cap.
    std::size_t HeldEntries() const;
    std::uint64_t Decodings() const;
    std::size_t OpenConnections() const;
    std::uint64_t RefusedConnections() const;

    struct TImpl;

private:
    std::unique_ptr<TImpl> F;
};

} // namespace Folivant::Platform
