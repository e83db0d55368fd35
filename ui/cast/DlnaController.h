#pragma once

#include "ui/cast/CastController.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QPair>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>

class QNetworkReply;

namespace kvr::ui::cast {

// Plays media on a DLNA receiver (a UPnP AV media renderer) through SOAP calls to its AVTransport and, when it
// has one, RenderingControl service. The renderer fetches the media itself; playback is followed by polling
// the transport state and position once a second. GUI thread only.
class DlnaController : public CastController {
    Q_OBJECT

public:
    using Arguments = QList<QPair<QString, QString>>;
    using Values = QHash<QString, QString>;
    using ReplyHandler = std::function<void(const Values& values)>;

    DlnaController(const CastDevice& device, QObject* parent = nullptr);
    ~DlnaController() override;

    void connectDevice() override;
    void load(const LoadRequest& request) override;
    void play() override;
    void pause() override;
    void stop() override;
    void seek(double seconds) override;
    void setVolume(double level) override;
    void disconnectDevice() override;
    bool supportsVolume() const override;

    // Milliseconds between polls; tests shorten it.
    void setPollInterval(int milliseconds) { pollTimer_.setInterval(milliseconds); }
    // How long after Play a start position is still sought; tests shorten it.
    void setStartSeekDeadline(int milliseconds) { startDeadlineMs_ = milliseconds; }
    bool isPolling() const { return pollTimer_.isActive(); }

    // Whole seconds as H:MM:SS; negative and non-numbers give 0:00:00.
    static QString formatHms(double seconds);
    // H:MM:SS[.fff] to seconds; anything without exactly three parts gives 0. A time that cannot be one
    // (see reportedSeconds) gives nothing.
    static std::optional<double> parseHms(const QString& text);
    // Escapes the markup characters and drops those XML 1.0 does not allow at all.
    static QString xmlEscape(const QString& text);
    // The DIDL-Lite item describing a load; its values are escaped once.
    static QString didlMetadata(const LoadRequest& request);
    // The text a renderer is given for a URL: fully percent-encoded, since many cannot fetch a decoded one.
    static QString urlText(const QUrl& url);

private:
    void poll();
    void handleTransportInfo(const Values& values, quint64 generation);
    // seeksBefore: start seeks sent before the position was asked for.
    void handlePositionInfo(const QString& transportState, const Values& values, int seeksBefore);
    // Seeks to the pending start position once the renderer plays; the position to show for this report.
    double pursueStart(int state, double relTime, int seeksBefore);
    void sendSeek(double seconds);
    void soapCall(const QUrl& controlUrl, const QString& service, const QString& action, const Arguments& arguments,
        ReplyHandler handler, bool fatal);
    void handleSoapReply(QNetworkReply* reply, const QString& action, const ReplyHandler& handler, bool fatal);
    void fail(const QString& message);
    void stopPolling();

    QNetworkAccessManager network_;
    QTimer pollTimer_;
    bool stopRequested_ = false;
    bool hasPlayed_ = false;
    int failedPolls_ = 0;
    // Raised by load and whenever polling stops: an answer to a poll or to the load's own calls sent before
    // then is about an older item, and a stale PLAYING would turn the next item's first STOPPED into its end.
    quint64 generation_ = 0;
    // Raised by disconnectDevice: nothing the closed session asked for is reported afterwards.
    quint64 connection_ = 0;
    // A start position not yet reached: renderers ignore a Seek while their transport is still
    // TRANSITIONING, so it is sent once a poll reports PLAYING, and once more when it did not take.
    bool startPending_ = false;
    double startSeconds_ = 0.0;
    int startSeeks_ = 0;
    QElapsedTimer startClock_;
    int startDeadlineMs_ = 10000;
};

} // namespace kvr::ui::cast
