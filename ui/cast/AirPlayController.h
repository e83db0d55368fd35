#pragma once

#include "ui/cast/CastController.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QString>
#include <QTimer>

#include <functional>

namespace kvr::ui::cast {

// Plays media on an AirPlay receiver through AirPlay 1's HTTP control requests: the receiver fetches the URL
// itself, is driven with rate, scrub, volume and stop requests and is polled for its playback information.
// Pairing and AirPlay 2 are not supported. GUI thread only.
class AirPlayController : public CastController {
    Q_OBJECT

public:
    AirPlayController(const CastDevice& device, QObject* parent = nullptr);
    ~AirPlayController() override;

    void connectDevice() override;
    void load(const LoadRequest& request) override;
    void play() override;
    void pause() override;
    void stop() override;
    void seek(double seconds) override;
    void setVolume(double level) override;
    void disconnectDevice() override;

    // The session id sent with every request of this controller.
    const QString& sessionId() const { return sessionId_; }
    // Milliseconds between polls of the playback information; tests shorten it.
    void setPollInterval(int milliseconds) { pollTimer_.setInterval(milliseconds); }

    // A time of the playback information, in seconds: 0 when the key is absent or its value is no number;
    // nothing when the value cannot be a time (see reportedSeconds), which is told apart from a real 0.
    static std::optional<double> plistSeconds(const QByteArray& body, const QString& key);

private:
    using ReplyHandler = std::function<void(int status, const QByteArray& body)>;

    void poll();
    void sendRequest(const QByteArray& method, const QString& path, const QByteArray& body,
        const QByteArray& contentType, ReplyHandler handler);
    // The text of the key's real or integer value; nothing when the body has none.
    static std::optional<QString> plistValue(const QByteArray& body, const QString& key);
    static double plistNumber(const QByteArray& body, const QString& key);
    void handlePlayReply(int status);
    void handlePlaybackInfo(int status, const QByteArray& body);
    // Stops polling and makes every answer to a poll or play request sent before now stale.
    void stopPolling();

    QNetworkAccessManager network_;
    QTimer pollTimer_;
    QString sessionId_;
    bool hasPlayed_ = false;
    bool stopRequested_ = false;
    int failedPolls_ = 0;
    // Raised by load and whenever polling stops: a late answer about the previous item must not be read as
    // news about the current one (it could set hasPlayed and turn the next empty answer into an end).
    quint64 generation_ = 0;
    // Raised by disconnectDevice: nothing the closed session asked for is reported afterwards.
    quint64 connection_ = 0;
};

} // namespace kvr::ui::cast
