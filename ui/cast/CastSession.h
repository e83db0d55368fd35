#pragma once

#include "ui/RemotePlayback.h"

#include <QObject>
#include <QString>
#include <QVariantList>

namespace kvr::ui {
class MediaSessionBridge;
}

namespace kvr::ui::cast {

// Casting ("Cast" in QML): finds receivers on the network, connects to one and hands the player's playback
// over to it. As the player's remote it stands for the connected receiver.
class CastSession : public QObject, public RemotePlayback {
    Q_OBJECT
    Q_PROPERTY(QVariantList devices READ devices NOTIFY devicesChanged)
    Q_PROPERTY(bool active READ active NOTIFY stateChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY stateChanged)
    Q_PROPERTY(QString deviceName READ deviceName NOTIFY stateChanged)
    Q_PROPERTY(QString mode READ mode NOTIFY stateChanged)
    Q_PROPERTY(QString status READ status NOTIFY stateChanged)
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY settingsChanged)

public:
    explicit CastSession(MediaSessionBridge* bridge, QObject* parent = nullptr);
    ~CastSession() override;

    bool enabled() const { return enabled_; }
    // Switching casting off stops it.
    void setEnabled(bool on);

    // The receivers found, as maps (id, type, name, model, address, port, manual, alwaysTranscode, active).
    QVariantList devices() const;
    // A receiver is chosen and its controller exists.
    bool active() const;
    // Casting and still preparing, loading, connecting or buffering.
    bool busy() const;
    QString deviceName() const;
    // "direct", "remux" or "transcode"; empty before anything is loaded.
    QString mode() const;
    QString status() const;

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
    // Whether a receiver list is on screen: while it is, discovery keeps asking.
    void setMenuOpen(bool open);

signals:
    void devicesChanged();
    void stateChanged();
    void settingsChanged();
    // A short, translated sentence for the on-screen message line.
    void notice(const QString& text);

private:
    MediaSessionBridge* const bridge_;
    bool enabled_ = false;
    QString subtitleMode_ = QStringLiteral("auto");
};

} // namespace kvr::ui::cast
