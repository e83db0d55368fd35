#pragma once

#include "tests/ui/HttpRequestHead.h"
// A small HTTP/1.1 server on 127.0.0.1 for tests: answers each request by its path from a table of canned
// responses and records what it was asked. It runs on the test's own event loop.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <algorithm>
#include <memory>

namespace kvr::test {

class LoopbackHttpServer {
public:
    struct Response {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        bool hang = false; // accept the request and never answer
        bool ranges = false; // honour "Range: bytes=N-" as a file server does
        QByteArray authorization; // when set, the "Authorization" header required, else 401 with a Basic challenge
    };

    struct Request {
        QByteArray method;
        QByteArray path;
        QMap<QByteArray, QByteArray> headers; // names in lower case
    };

    LoopbackHttpServer()
    {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection())
                serve(socket);
        });
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
    void hang(const QByteArray& path)
    {
        Response response;
        response.hang = true;
        routes_[path] = response;
    }
    const QList<Request>& requests() const { return requests_; }

private:
    void serve(QTcpSocket* socket)
    {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const RequestHead parsed = parseRequestHead(buffer->left(end));
            buffer->clear();
            Request request;
            request.method = parsed.method;
            request.path = parsed.path;
            request.headers = parsed.headers;
            requests_.append(request);
            const auto found = routes_.constFind(request.path);
            Response response;
            if (found != routes_.cend())
                response = *found;
            else
                response.status = 404;
            if (response.hang)
                return;
            if (!response.authorization.isEmpty() && request.headers.value("authorization") != response.authorization) {
                response.status = 401;
                response.body.clear();
                response.headers.append({ QByteArray("WWW-Authenticate"), QByteArray("Basic realm=\"test\"") });
            } else if (response.ranges) {
                response.headers.append({ QByteArray("Accept-Ranges"), QByteArray("bytes") });
                const QByteArray range = request.headers.value("range");
                if (range.startsWith("bytes=")) {
                    const qsizetype total = response.body.size();
                    const qsizetype from = std::min<qsizetype>(range.mid(6).split('-').value(0).toLongLong(), total);
                    response.status = 206;
                    response.headers.append({ "Content-Range",
                        "bytes " + QByteArray::number(from) + '-' + QByteArray::number(total - 1) + '/'
                            + QByteArray::number(total) });
                    response.body = response.body.mid(from);
                }
            }
            QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Canned\r\n";
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
            head += "Content-Type: application/json\r\nConnection: close\r\n";
            for (const auto& header : response.headers)
                head += header.first + ": " + header.second + "\r\n";
            socket->write(head + "\r\n" + response.body);
            socket->disconnectFromHost();
        });
    }

    QTcpServer server_;
    QMap<QByteArray, Response> routes_;
    QList<Request> requests_;
};

} // namespace kvr::test
