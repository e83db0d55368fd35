#pragma once

#include "tests/ui/HttpRequestHead.h"
// A scripted UPnP AV renderer on 127.0.0.1 for tests: it answers SOAP actions posted to any path with a
// response element built from its own little state (transport state, position, volume), or, per action, with
// a set status and body, silence or a late answer. It plays nothing. Every request is recorded with its
// headers and body. Runs on the test's own event loop.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace kvr::test {

class SoapRenderer {
public:
    struct Request {
        QByteArray path;
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
        QByteArray action; // the part of SOAPAction after '#'
    };

    // How an action is answered instead of the renderer's own reply.
    struct Override {
        int status = 0; // 0: 200
        bool useBody = false; // send body below instead of the own response
        QByteArray body;
        bool silent = false; // accept the request, never answer
        int delayMs = 0; // the answer as it stands now, sent this much later
        int times = -1; // how many answers it applies to; -1 for all
    };

    QByteArray transportState = "NO_MEDIA_PRESENT";
    QByteArray relTime = "0:00:00";
    QByteArray trackDuration = "0:00:00";
    int volume = 35;

    SoapRenderer()
    {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection())
                serve(socket);
        });
    }

    quint16 port() const { return server_.serverPort(); }
    QUrl url(const QString& path) const { return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path)); }
    const QList<Request>& requests() const { return requests_; }
    QList<Request> requestsFor(const QByteArray& action) const
    {
        QList<Request> found;
        for (const Request& r : requests_)
            if (r.action == action)
                found.append(r);
        return found;
    }
    void set(const QByteArray& action, const Override& how) { overrides_[action] = how; }
    void clear(const QByteArray& action) { overrides_.remove(action); }

    static QByteArray fault(const QByteArray& code, const QByteArray& description)
    {
        return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
               "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
               "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>"
            + code + "</errorCode><errorDescription>" + description
            + "</errorDescription></UPnPError></detail></s:Fault></s:Body></s:Envelope>";
    }

    static QByteArray response(const QByteArray& action, const QByteArray& children)
    {
        return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
               "<u:"
            + action + "Response xmlns:u=\"urn:schemas-upnp-org:service:AVTransport:1\">" + children + "</u:" + action
            + "Response></s:Body></s:Envelope>";
    }

private:
    QByteArray ownAnswer(const QByteArray& action)
    {
        if (action == "GetTransportInfo")
            return response(action,
                "<CurrentTransportState>" + transportState
                    + "</CurrentTransportState><CurrentTransportStatus>OK</CurrentTransportStatus>"
                      "<CurrentSpeed>1</CurrentSpeed>");
        if (action == "GetPositionInfo")
            return response(action,
                "<Track>1</Track><TrackDuration>" + trackDuration + "</TrackDuration><RelTime>" + relTime
                    + "</RelTime><AbsTime>NOT_IMPLEMENTED</AbsTime>");
        if (action == "GetVolume")
            return response(action, "<CurrentVolume>" + QByteArray::number(volume) + "</CurrentVolume>");
        return response(action, {});
    }

    void serve(QTcpSocket* socket)
    {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            Request request;
            const RequestHead parsed = parseRequestHead(buffer->left(end));
            request.path = parsed.path;
            request.headers = parsed.headers;
            const qsizetype length = request.headers.value("content-length").toLongLong();
            if (buffer->size() < end + 4 + length)
                return; // the body is still on its way
            request.body = buffer->mid(end + 4, length);
            buffer->clear();
            const QByteArray soapAction = request.headers.value("soapaction");
            request.action = soapAction.mid(soapAction.indexOf('#') + 1).chopped(1);
            requests_.append(request);

            const Override how = overrides_.value(request.action);
            if (overrides_.contains(request.action) && how.times > 0 && --overrides_[request.action].times == 0)
                overrides_.remove(request.action);
            if (how.silent)
                return;
            const int status = how.status != 0 ? how.status : 200;
            const QByteArray body = how.useBody ? how.body : ownAnswer(request.action);
            QByteArray answer = "HTTP/1.1 " + QByteArray::number(status) + " Test\r\n";
            answer += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
            answer += "Content-Type: text/xml; charset=\"utf-8\"\r\nConnection: close\r\n\r\n" + body;
            auto send = [socket, answer] {
                socket->write(answer);
                socket->disconnectFromHost();
            };
            if (how.delayMs > 0)
                QTimer::singleShot(how.delayMs, socket, send);
            else
                send();
        });
    }

    QTcpServer server_;
    QMap<QByteArray, Override> overrides_;
    QList<Request> requests_;
};

} // namespace kvr::test
