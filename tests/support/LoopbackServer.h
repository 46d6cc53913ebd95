#pragma once

// A small HTTP server on 127.0.0.1 for tests that load pages from another
// site: each request is answered with what the test's handler gives for its
// path, on a thread per connection (the engine opens connections ahead that
// send nothing), and every path asked for is recorded. The destructor ends
// every connection and joins every thread.

#include "base/PosixFiles.h"

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Folivant::Testing {

struct THttpReply {
    std::string Status = "200 OK";
    // Header lines ending in "\r\n"; Content-Length and Connection are added.
    std::string Headers = "Content-Type: text/html\r\n";
    std::string Body;
};

class TLoopbackServer {
public:
    using THandler = std::function<THttpReply(const std::string& path)>;

    explicit TLoopbackServer(THandler handler);
    ~TLoopbackServer();

    std::string Url(const std::string& path) const;
    // Every path asked for so far, in order.
    std::vector<std::string> Paths() const;

private:
    void Serve(int fd);

    THandler FHandler;
    TFd FListener;
    std::uint16_t FPort = 0;
    mutable std::mutex FMutex;
    std::vector<std::string> FPaths;
    std::list<std::pair<TFd, std::thread>> FConnections;
    std::thread FAcceptor;
};

} // namespace Folivant::Testing
