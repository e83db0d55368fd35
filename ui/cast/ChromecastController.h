#pragma once

#include "ui/cast/CastController.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QJsonValue>
#include <QSslSocket>
#include <QString>
#include <QTimer>

namespace kvr::ui::cast {

// Drives a Chromecast over the Cast v2 protocol: one TLS connection carrying JSON messages in protocol-buffers
// frames. Launches the receiver's default media player app, connects to its transport, sends it the media and
// the player's commands, keeps the connection alive with heartbeats, polls the media status and reconnects up
// to three times when the connection drops. The receiver's certificate is never checked: receivers present
// self-signed ones. GUI thread only.
class ChromecastController : public CastController {
    Q_OBJECT

public:
    // How often things happen, in milliseconds. Tests shorten them; the defaults are what receivers expect.
    struct Timings {
        int heartbeatMs = 5000;
        int statusPollMs = 5000;
        // Silence longer than this at a heartbeat tick counts as a lost connection.
        int silenceMs = 16000;
        // The n-th reconnect waits n steps.
        int reconnectStepMs = 1000;
    };

    ChromecastController(const CastDevice& device, QObject* parent = nullptr);
    ~ChromecastController() override;

    void connectDevice() override;
    void load(const LoadRequest& request) override;
    void play() override;
    void pause() override;
    void stop() override;
    void seek(double seconds) override;
    void setVolume(double level) override;
    void disconnectDevice() override;
    bool supportsSubtitleTracks() const override;
    bool supportsVolume() const override;

    void setTimings(const Timings& timings);
    const Timings& timings() const { return timings_; }

    // Source id of every message this controller sends.
    const QString& senderId() const { return senderId_; }
    // The running media app's transport; empty while none is connected.
    const QString& transportId() const { return transportId_; }
    const QString& sessionId() const { return sessionId_; }
    int mediaSessionId() const { return mediaSessionId_; }

    // A time of a media status ("currentTime", "media.duration"), in seconds; nothing when the value is absent,
    // not a number or cannot be a time (see reportedSeconds).
    static std::optional<double> statusSeconds(const QJsonValue& value);

private:
    void launchApp();
    void handleMessage(const QString& nameSpace, const QString& sourceId, const QJsonObject& object);
    void handleReceiverStatus(const QJsonObject& object);
    void handleMediaStatus(const QJsonObject& object);
    void appGone();
    void fail(const QString& message);
    void sendMessage(const QString& nameSpace, const QString& destinationId, const QJsonObject& object);
    void sendMediaCommand(const QString& type, QJsonObject object = {});
    void sendLoad();
    void onHeartbeat();
    void onStatusPoll();
    void onReadyRead();
    void connectionLost(const QString& reason);
    int nextRequestId() { return requestCounter_++; }

    QSslSocket socket_;
    QByteArray receiveBuffer_;
    QString senderId_;
    QString transportId_;
    QString sessionId_;
    int mediaSessionId_ = 0;
    int requestCounter_ = 1;
    LoadRequest request_;
    bool loadPending_ = false;
    bool loadInFlight_ = false;
    // The requestId of the LAUNCH still waiting for its app (-1 once the app runs): only a refusal answering it
    // means the receiver cannot start its media player.
    int launchRequestId_ = -1;
    // The requestId of the last SET_VOLUME, to name what a refusal on the platform's namespace refused.
    int volumeRequestId_ = -1;
    // The requestId of the last LOAD: only an INVALID_REQUEST answering it means the media cannot play.
    int loadRequestId_ = -1;
    bool closing_ = false;
    int reconnectAttempts_ = 0;
    QTimer heartbeatTimer_;
    QTimer statusPollTimer_;
    // Owned so disconnectDevice can cancel a reconnect that is still waiting.
    QTimer reconnectTimer_;
    QElapsedTimer lastHeard_;
    Timings timings_;
};

} // namespace kvr::ui::cast
