#pragma once

// A receiver of AirPlay 1's HTTP control on 127.0.0.1 for tests. It plays nothing: it keeps a position that
// advances with the rate while "playing", reports it as an XML property list and drops the duration once the
// end is reached. Per path a test can set a status code, silence (accepted, never answered), a dropped
// connection or a slow answer. Every request is recorded with its headers and body. Runs on the test's own
// event loop.

#include "tests/ui/LoopbackServing.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <functional>

namespace kvr::test {

class AirPlayReceiver {
public:
    using Request = HttpRequest;

    // How a path is answered instead of the receiver's own reply.
    struct Override {
        int status = 0; // 0: the receiver's own status
        bool silent = false; // accept the request, never answer
        bool drop = false; // close the connection without an answer
        int delayMs = 0; // the answer as it stands now, sent this much later
    };

    // How readyToPlay is laid out in the playback information.
    enum class Layout { Tab, LineFeed, Spaces, CrLf, Inline };

    // What /play told the receiver.
    QByteArray contentLocation;
    QByteArray startPosition;
    // The media's length as the receiver would find it; the position starts at the fraction of it.
    double mediaDuration = 120.0;
    // When not empty, the duration's text in the playback information in place of mediaDuration's.
    QByteArray durationText;
    // The media is ready once /play is answered; false keeps the receiver buffering.
    bool readyAfterPlay = true;
    // False: /play is answered 200 but nothing loads, so no duration is ever reported.
    bool loadOnPlay = true;
    Layout layout = Layout::Tab;
    // Fetch Content-Location with a real GET when /play arrives; the outcome is kept below.
    bool fetchMedia = false;
    int fetchStatus = -1;
    QByteArray fetchedBody;
    // /playback-info answers sent so far.
    int playbackInfoAnswers = 0;

    explicit AirPlayReceiver(quint16 port = 0)
    {
        listenOnLoopback(
            server_, port, [this](QTcpSocket* socket, const HttpRequest& request) { serve(socket, request); });
    }

    bool isListening() const { return server_.isListening(); }
    quint16 port() const { return server_.serverPort(); }
    const QList<Request>& requests() const { return requests_; }
    // Requests whose path (without query) is that.
    QList<Request> requestsTo(const QByteArray& path) const
    {
        QList<Request> found;
        for (const Request& r : requests_)
            if (r.path.split('?').value(0) == path)
                found.append(r);
        return found;
    }

    void set(const QByteArray& path, const Override& how) { overrides_[path] = how; }
    void answerWith(const QByteArray& path, int status) { overrides_[path] = Override { status }; }
    void clear(const QByteArray& path) { overrides_.remove(path); }

    // The receiver's own state, set directly by a test.
    void setPlaying(double position, double rate, double duration)
    {
        loaded_ = true;
        ready_ = true;
        mediaDuration = duration;
        position_ = position;
        rate_ = rate;
        clock_.restart();
    }
    void setReady(bool ready) { ready_ = ready; }
    void unload() { loaded_ = false; }
    double position() const
    {
        const double p = position_ + (clock_.isValid() ? rate_ * clock_.elapsed() / 1000.0 : 0.0);
        return std::min(p, mediaDuration);
    }
    double rate() const { return rate_; }

    QByteArray playbackInfo() const
    {
        QByteArray dict;
        const bool atEnd = loaded_ && position() >= mediaDuration;
        if (loaded_ && !atEnd) {
            dict += "\t<key>duration</key>\n\t<real>"
                + (durationText.isEmpty() ? QByteArray::number(mediaDuration, 'f', 6) : durationText) + "</real>\n";
            dict += "\t<key>position</key>\n\t<real>" + QByteArray::number(position(), 'f', 6) + "</real>\n";
            dict += "\t<key>rate</key>\n\t<real>" + QByteArray::number(rate_, 'f', 1) + "</real>\n";
            dict += readyEntry(ready_);
        } else if (!loaded_) {
            dict += readyEntry(false);
        }
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n"
            + dict + "</dict>\n</plist>\n";
    }

private:
    QByteArray readyEntry(bool ready) const
    {
        const QByteArray value = ready ? "<true/>" : "<false/>";
        switch (layout) {
        case Layout::Tab:
            return "\t<key>readyToPlay</key>\n\t" + value + "\n";
        case Layout::LineFeed:
            return "<key>readyToPlay</key>\n" + value + "\n";
        case Layout::Spaces:
            return "  <key>readyToPlay</key>\n  " + value + "\n";
        case Layout::CrLf:
            return "\t<key>readyToPlay</key>\r\n\t" + value + "\r\n";
        case Layout::Inline:
            return "<key>readyToPlay</key>" + value;
        }
        return {};
    }

    // The receiver's own answer to a request: status and body.
    QPair<int, QByteArray> handle(const Request& request)
    {
        const QList<QByteArray> parts = request.path.split('?');
        const QByteArray path = parts.value(0);
        const QUrlQuery query(QString::fromLatin1(parts.value(1)));
        if (path == "/server-info")
            return { 200, "<plist version=\"1.0\"><dict><key>model</key><string>Test</string></dict></plist>" };
        if (path == "/play" && request.method == "POST") {
            contentLocation.clear();
            startPosition.clear();
            for (const QByteArray& line : request.body.split('\n')) {
                if (line.startsWith("Content-Location: "))
                    contentLocation = line.mid(18);
                else if (line.startsWith("Start-Position: "))
                    startPosition = line.mid(16);
            }
            if (fetchMedia)
                fetch();
            loaded_ = loadOnPlay;
            ready_ = readyAfterPlay;
            position_ = std::clamp(startPosition.toDouble(), 0.0, 1.0) * mediaDuration;
            rate_ = 1.0;
            clock_.restart();
            return { 200, {} };
        }
        if (path == "/rate" && request.method == "POST") {
            position_ = position();
            rate_ = query.queryItemValue(QStringLiteral("value")).toDouble();
            clock_.restart();
            return { 200, {} };
        }
        if (path == "/scrub" && request.method == "POST") {
            position_ = query.queryItemValue(QStringLiteral("position")).toDouble();
            clock_.restart();
            return { 200, {} };
        }
        if (path == "/volume" && request.method == "POST")
            return { 200, {} };
        if (path == "/stop" && request.method == "POST") {
            loaded_ = false;
            return { 200, {} };
        }
        if (path == "/playback-info" && request.method == "GET")
            return { 200, playbackInfo() };
        return { 404, {} };
    }

    void fetch()
    {
        fetchStatus = -1;
        fetchedBody.clear();
        QNetworkReply* reply = fetcher_.get(QNetworkRequest(QUrl::fromEncoded(contentLocation, QUrl::StrictMode)));
        QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply] {
            reply->deleteLater();
            fetchedBody = reply->readAll();
            fetchStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        });
    }

    void serve(QTcpSocket* socket, const Request& request)
    {
        requests_.append(request);
        const Override how = overrides_.value(request.path.split('?').value(0));
        if (how.silent)
            return;
        if (how.drop) {
            socket->abort();
            return;
        }
        auto [status, body] = handle(request);
        if (how.status != 0)
            status = how.status;
        std::function<void()> counted;
        if (request.path == "/playback-info")
            counted = [this] { ++playbackInfoAnswers; };
        sendAnswer(
            socket, answerHead(status, "Test", "text/x-apple-plist+xml", body.size()) + body, how.delayMs, counted);
    }

    QTcpServer server_;
    QNetworkAccessManager fetcher_;
    QMap<QByteArray, Override> overrides_;
    QList<Request> requests_;
    bool loaded_ = false;
    bool ready_ = false;
    double position_ = 0.0;
    double rate_ = 0.0;
    QElapsedTimer clock_;
};

} // namespace kvr::test
