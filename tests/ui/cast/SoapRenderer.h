#pragma once

// A scripted UPnP AV renderer on 127.0.0.1 for tests: it answers SOAP actions posted to any path with a
// response element built from its own little state (transport state, position, volume), or, per action, with
// a set status and body, silence or a late answer. It plays nothing. Every request is recorded with its
// headers and body. Runs on the test's own event loop.
//
// As real renderers do, a Seek answered with its own reply moves the position to its target, except while
// the transport is TRANSITIONING: then it is answered all the same and ignored. With playTransitionMs set, a
// Play passes through TRANSITIONING for that long before the transport reports PLAYING.

#include "tests/ui/LoopbackServing.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

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
    // -1: Play leaves the transport state as the test set it.
    int playTransitionMs = -1;

    SoapRenderer()
    {
        listenOnLoopback(
            server_, 0, [this](QTcpSocket* socket, const HttpRequest& request) { serve(socket, request); });
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

    // What an action does to the renderer's state when it gets the renderer's own answer.
    void act(const Request& request)
    {
        if (request.action == "Seek" && transportState != "TRANSITIONING") {
            const QByteArray body = request.body;
            const qsizetype from = body.indexOf("<Target>");
            const qsizetype to = body.indexOf("</Target>");
            if (from >= 0 && to > from)
                relTime = body.mid(from + 8, to - from - 8);
        } else if (request.action == "Play" && playTransitionMs >= 0) {
            transportState = "TRANSITIONING";
            const int generation = ++transition_;
            QTimer::singleShot(playTransitionMs, &server_, [this, generation] {
                if (generation == transition_ && transportState == "TRANSITIONING")
                    transportState = "PLAYING";
            });
        }
    }

    void serve(QTcpSocket* socket, const HttpRequest& received)
    {
        Request request { received.path, received.headers, received.body, {} };
        const QByteArray soapAction = request.headers.value("soapaction");
        request.action = soapAction.mid(soapAction.indexOf('#') + 1).chopped(1);
        requests_.append(request);

        const Override how = overrides_.value(request.action);
        if (overrides_.contains(request.action) && how.times > 0 && --overrides_[request.action].times == 0)
            overrides_.remove(request.action);
        if (how.silent)
            return;
        const int status = how.status != 0 ? how.status : 200;
        if (!how.useBody && status == 200)
            act(request);
        const QByteArray body = how.useBody ? how.body : ownAnswer(request.action);
        sendAnswer(socket, answerHead(status, "Test", "text/xml; charset=\"utf-8\"", body.size()) + body, how.delayMs);
    }

    QTcpServer server_;
    QMap<QByteArray, Override> overrides_;
    QList<Request> requests_;
    int transition_ = 0;
};

} // namespace kvr::test
