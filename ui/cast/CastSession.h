#pragma once

#include <QObject>
#include <QString>

namespace kvr::ui {
class MediaSessionBridge;
}

namespace kvr::ui::cast {

// Casting ("Cast" in QML): finds receivers on the network, connects to one and hands the player's playback
// over to it.
class CastSession : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY enabledChanged)

public:
    explicit CastSession(MediaSessionBridge* bridge, QObject* parent = nullptr);
    ~CastSession() override;

    bool enabled() const { return enabled_; }
    // Switching casting off stops it.
    void setEnabled(bool on);

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
