#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for tests: answers each request by its path from a table of canned
// responses and records what it was asked. It runs on the test's own event loop.

#include "tests/ui/LoopbackServing.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <algorithm>

namespace kvr::test {

class LoopbackHttpServer {
public:
    struct Response {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray contentType = "application/json";
        bool hang = false; // accept the request and never answer
        bool ranges = false; // honour "Range: bytes=N-" as a file server does
        // With ranges: an answer that starts before this offset stops there and waits, connection open, until
        // releaseGates; -1 for none.
        qsizetype gate = -1;
        QByteArray authorization; // when set, the "Authorization" header required, else 401 with a Basic challenge
    };

    using Request = HttpRequest;

    LoopbackHttpServer()
    {
        listenOnLoopback(
            server_, 0, [this](QTcpSocket* socket, const HttpRequest& request) { serve(socket, request); });
    }

    bool isListening() const { return server_.isListening(); }
    quint16 port() const { return server_.serverPort(); }
    QUrl url(const QString& path) const { return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path)); }

    void answer(const QByteArray& path, int status, const QByteArray& body)
    {
        Response response;
        response.status = status;
        response.body = body;
        routes_[path] = response;
    }
    void redirect(const QByteArray& path, int status, const QByteArray& location, const QByteArray& body = {})
    {
        Response response;
        response.status = status;
        response.body = body;
        response.headers.append({ "Location", location });
        routes_[path] = response;
    }
    // Serves body like a file: the client may seek in it; with user and password it must also sign in.
    void serveFile(
        const QByteArray& path, const QByteArray& body, const QByteArray& user = {}, const QByteArray& password = {})
    {
        Response response;
        response.body = body;
        response.ranges = true;
        if (!user.isEmpty())
            response.authorization = "Basic " + (user + ':' + password).toBase64();
        routes_[path] = response;
    }
    // Serves body like a file whose bytes from gate on are held back: an answer that reaches the gate stalls
    // there, connection open, until releaseGates, so a reader sees a source that stops in the middle for as
    // long as a test wants. Answers that start beyond the gate (a demuxer looking for an index at the end) go
    // at once.
    void serveGatedFile(const QByteArray& path, const QByteArray& body, qsizetype gate)
    {
        Response response;
        response.body = body;
        response.contentType = "application/octet-stream";
        response.ranges = true;
        response.gate = gate;
        routes_[path] = response;
    }
    // Some answer has reached its gate and waits there.
    bool stalled() const { return !waiting_.isEmpty(); }
    // Sends the rest of every stalled answer; from now on nothing stops at a gate.
    void releaseGates()
    {
        gatesOpen_ = true;
        for (const auto& [socket, rest] : std::as_const(waiting_))
            if (socket)
                sendAnswer(socket, rest);
        waiting_.clear();
    }
    void hang(const QByteArray& path)
    {
        Response response;
        response.hang = true;
        routes_[path] = response;
    }
    const QList<Request>& requests() const { return requests_; }

private:
    void serve(QTcpSocket* socket, const HttpRequest& request)
    {
        requests_.append(request);
        const auto found = routes_.constFind(request.path);
        Response response;
        if (found != routes_.cend())
            response = *found;
        else
            response.status = 404;
        if (response.hang)
            return;
        qsizetype from = 0;
        if (!response.authorization.isEmpty() && request.headers.value("authorization") != response.authorization) {
            response.status = 401;
            response.body.clear();
            response.headers.append({ QByteArray("WWW-Authenticate"), QByteArray("Basic realm=\"test\"") });
        } else if (response.ranges) {
            response.headers.append({ QByteArray("Accept-Ranges"), QByteArray("bytes") });
            const QByteArray range = request.headers.value("range");
            if (range.startsWith("bytes=")) {
                const qsizetype total = response.body.size();
                from = std::min<qsizetype>(range.mid(6).split('-').value(0).toLongLong(), total);
                response.status = 206;
                response.headers.append({ "Content-Range",
                    "bytes " + QByteArray::number(from) + '-' + QByteArray::number(total - 1) + '/'
                        + QByteArray::number(total) });
                response.body = response.body.mid(from);
            }
        }
        const QByteArray head
            = answerHead(response.status, "Canned", response.contentType, response.body.size(), response.headers);
        if (response.ranges && response.gate >= 0 && !gatesOpen_ && from < response.gate) {
            socket->write(head + response.body.left(response.gate - from));
            waiting_.append({ QPointer<QTcpSocket>(socket), response.body.mid(response.gate - from) });
            return;
        }
        sendAnswer(socket, head + response.body);
    }

    QTcpServer server_;
    QMap<QByteArray, Response> routes_;
    QList<Request> requests_;
    // Answers stopped at their gate, with the rest of their body.
    QList<QPair<QPointer<QTcpSocket>, QByteArray>> waiting_;
    bool gatesOpen_ = false;
};

} // namespace kvr::test
