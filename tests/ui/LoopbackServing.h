// What the loopback test servers share: one request per connection, read whole off the socket, and an answer
// after which the connection closes. Runs on the test's own event loop.
#pragma once

#include "tests/ui/HttpRequestHead.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>

namespace kvr::test {

struct HttpRequest : RequestHead {
    QByteArray body;
};

// Listens on 127.0.0.1 (port 0: any free one) and hands each request, once its head and as much body as its
// Content-Length gives are in, to handle(QTcpSocket*, const HttpRequest&). The socket deletes itself once it
// disconnects; handle answers on it, later or never, as the test wants.
template <typename Handle> bool listenOnLoopback(QTcpServer& server, quint16 port, Handle handle)
{
    QObject::connect(&server, &QTcpServer::newConnection, [&server, handle] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, buffer, handle] {
                buffer->append(socket->readAll());
                const qsizetype end = buffer->indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                const RequestHead head = parseRequestHead(buffer->left(end));
                const qsizetype length = head.headers.value("content-length").toLongLong();
                if (buffer->size() < end + 4 + length)
                    return; // the body is still on its way
                const HttpRequest request { head, buffer->mid(end + 4, length) };
                buffer->clear();
                handle(socket, request);
            });
        }
    });
    return server.listen(QHostAddress::LocalHost, port);
}

// The head of an answer that closes its connection, with bodySize bytes to follow; headers come after the
// standard ones.
inline QByteArray answerHead(int status, const QByteArray& reason, const QByteArray& contentType, qsizetype bodySize,
    const QList<QPair<QByteArray, QByteArray>>& headers = {})
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    head += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
    head += "Content-Type: " + contentType + "\r\nConnection: close\r\n";
    for (const auto& header : headers)
        head += header.first + ": " + header.second + "\r\n";
    return head + "\r\n";
}

// Writes answer and closes the connection, or does so delayMs later (nothing, should the socket be gone by
// then); sent runs as the answer goes out.
inline void sendAnswer(QTcpSocket* socket, const QByteArray& answer, int delayMs = 0, std::function<void()> sent = {})
{
    auto send = [socket, answer, sent] {
        if (sent)
            sent();
        socket->write(answer);
        socket->disconnectFromHost();
    };
    if (delayMs > 0)
        QTimer::singleShot(delayMs, socket, send);
    else
        send();
}

} // namespace kvr::test
