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
#include <vector>

namespace kvr::test {

// Answers every request with the first `sendBytes` of `body` (no length, so nothing seeks), then sends nothing
// more on that connection until told to stop. Counts the connections it took.
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
        for (int fd : clients)
            ::close(fd);
        ::close(listenFd);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/film.mkv"; }
    // The first connection has had all it will get.
    std::atomic<bool> sentAll { false };
    std::atomic<int> connections { 0 };

private:
    void run()
    {
        while (!stopping) {
            pollfd p { listenFd, POLLIN, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            clients.push_back(fd);
            ++connections;
            if (serve(fd))
                sentAll = true;
        }
    }

    bool serve(int fd)
    {
        std::string request;
        while (!stopping && request.find("\r\n\r\n") == std::string::npos) {
            pollfd p { fd, POLLIN, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            request.append(buf, static_cast<size_t>(n));
        }
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: video/x-matroska\r\nConnection: close\r\n\r\n"
            + body.substr(0, sendBytes);
        size_t done = 0;
        while (!stopping && done < answer.size()) {
            pollfd p { fd, POLLOUT, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::send(fd, answer.data() + done, answer.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return done == answer.size();
    }

    std::string body;
    size_t sendBytes;
    int port = 0;
    int listenFd = -1;
    std::vector<int> clients;
    std::atomic<bool> stopping { false };
    std::thread thread;
};

} // namespace kvr::test
