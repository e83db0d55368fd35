#pragma once

#include "ui/RemotePlayback.h"

#include <QObject>
#include <QString>

namespace kvr::ui {
class MediaSessionBridge;
}

namespace kvr::ui::cast {

// Casting ("Cast" in QML): finds receivers on the network, connects to one and hands the player's playback
// over to it. As the player's remote it stands for the connected receiver.
class CastSession : public QObject, public RemotePlayback {
    Q_OBJECT
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY enabledChanged)

public:
    explicit CastSession(MediaSessionBridge* bridge, QObject* parent = nullptr);
    ~CastSession() override;

    bool enabled() const { return enabled_; }
    // Switching casting off stops it.
    void setEnabled(bool on);

    // The receiver's playback, for the player.
    void load(const QString& url, int64_t startUs) override;
    void play() override;
    void pause() override;
    void stopPlayback() override;
    void seek(int64_t us) override;
    void setVolume(double volume) override;
    int64_t position() override;
    int64_t duration() override;
    double volume() override;
    int state() override;

public slots:
    // Connects to the receiver deviceId and casts to it once it is ready.
    void start(const QString& deviceId);
    void stop();
    // Restarts receiver discovery while casting is enabled.
    void refresh();
    // Reloads the entry being cast as a transcoded stream at the current position.
    void forceTranscode();
    // "auto", "burn" or "off"; any other text is ignored.
    void setSubtitleMode(const QString& mode);

signals:
    void enabledChanged();

private:
    MediaSessionBridge* const bridge_;
    bool enabled_ = false;
    QString subtitleMode_ = QStringLiteral("auto");
};

} // namespace kvr::ui::cast
