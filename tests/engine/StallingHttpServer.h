// A loopback HTTP server that sends part of a file and then stalls: only a conversion's cancel ends a read of it.
#pragma once

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace kvr::test {

// Answers one request with the first `sendBytes` of `body` (no length, so nothing seeks), then stalls until
// told to stop.
class StallingHttpServer {
public:
    StallingHttpServer(std::string body, size_t sendBytes)
        : body(std::move(body))
        , sendBytes(sendBytes)
    {
        listenFd = kvr::test::listenOnLoopback(port);
        if (listenFd < 0)
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
        thread = std::thread([this] { run(); });
    }
    ~StallingHttpServer()
    {
        stopping = true;
        thread.join();
        if (clientFd >= 0)
            ::close(clientFd);
        ::close(listenFd);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/film.mkv"; }
    std::atomic<bool> sentAll { false };

private:
    void run()
    {
        while (!stopping && clientFd < 0) {
            pollfd p { listenFd, POLLIN, 0 };
            if (::poll(&p, 1, 50) > 0)
                clientFd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        }
        std::string request;
        while (!stopping && request.find("\r\n\r\n") == std::string::npos) {
            pollfd p { clientFd, POLLIN, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::recv(clientFd, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            request.append(buf, static_cast<size_t>(n));
        }
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: video/x-matroska\r\nConnection: close\r\n\r\n"
            + body.substr(0, sendBytes);
        size_t done = 0;
        while (!stopping && done < answer.size()) {
            pollfd p { clientFd, POLLOUT, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::send(clientFd, answer.data() + done, answer.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
        sentAll = true;
        while (!stopping)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    std::string body;
    size_t sendBytes;
    int port = 0;
    int listenFd = -1;
    int clientFd = -1;
    std::atomic<bool> stopping { false };
    std::thread thread;
};

} // namespace kvr::test
