#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace Folivant::Testing {

TLoopbackServer::TLoopbackServer(THandler handler)
    : FHandler(std::move(handler)), FListener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* at = reinterpret_cast<sockaddr*>(&address);
    if (::bind(FListener.Get(), at, sizeof address) != 0 || ::listen(FListener.Get(), 64) != 0 ||
        ::getsockname(FListener.Get(), at, &length) != 0) {
        ADD_FAILURE() << "the loopback server cannot listen";
        return;
    }
    FPort = ntohs(address.sin_port);
    // Only this thread adds connections; it ends when the listener is shut.
    FAcceptor = std::thread([this] {
        for (;;) {
            TFd fd(::accept4(FListener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!fd.Valid() && errno != EINTR && errno != ECONNABORTED)
                return;
            const int connection = fd.Get();
            if (fd.Valid())
                FConnections.emplace_back(std::move(fd),
                                          std::thread([this, connection] { Serve(connection); }));
        }
    });
}

TLoopbackServer::~TLoopbackServer() {
    ::shutdown(FListener.Get(), SHUT_RDWR);
    if (FAcceptor.joinable())
        FAcceptor.join();
    // A shut socket ends its thread's read or write.
    for (auto& [fd, thread] : FConnections)
        ::shutdown(fd.Get(), SHUT_RDWR);
    for (auto& [fd, thread] : FConnections)
        thread.join();
}

std::string TLoopbackServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(FPort) + path;
}

std::vector<std::string> TLoopbackServer::Paths() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FPaths;
}

void TLoopbackServer::Serve(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ReadRetrying(fd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t start = request.find(' ') + 1;
    const std::string path = request.substr(start, request.find(' ', start) - start);
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FPaths.push_back(path);
    }
    const THttpReply reply = FHandler(path);
    const std::string answer = "HTTP/1.1 " + reply.Status + "\r\n" + reply.Headers +
                               "Content-Length: " + std::to_string(reply.Body.size()) +
                               "\r\nConnection: close\r\n\r\n" + reply.Body;
    SendFull(fd, answer.data(), answer.size());
    ::shutdown(fd, SHUT_WR);
}

} // namespace Folivant::Testing
