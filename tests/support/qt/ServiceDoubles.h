#pragma once

#include "ui/bridge/RemotePlayback.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

namespace kvr::ui {
class MediaSessionBridge;
}

namespace kvr::test {

// Doubles of the services the main window reads ("Converter", "Library", "Cast"): the members it uses, every
// property writable by a test, every call recorded in `calls` ("cancel(3)", "setMenuOpen(true)"), every
// signal emitted on request.

class ConverterDouble : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariantList jobs MEMBER jobs_ NOTIFY jobsChanged)
    Q_PROPERTY(int running MEMBER running_ NOTIFY jobsChanged)
    Q_PROPERTY(int pending MEMBER pending_ NOTIFY jobsChanged)
    Q_PROPERTY(bool paused MEMBER paused_ NOTIFY settingsChanged)
    Q_PROPERTY(int concurrency MEMBER concurrency_ NOTIFY settingsChanged)
    Q_PROPERTY(bool keepPartial MEMBER keepPartial_ NOTIFY settingsChanged)
    Q_PROPERTY(QStringList calls MEMBER calls_ NOTIFY callsChanged)
    // What the convert window reads.
    Q_PROPERTY(QVariantMap capabilities MEMBER capabilities_ CONSTANT)
    Q_PROPERTY(QVariantMap lastSettings MEMBER lastSettings_ NOTIFY settingsChanged)
    Q_PROPERTY(QString filenamePattern MEMBER filenamePattern_ NOTIFY settingsChanged)

public:
    using QObject::QObject;

public slots:
    void cancel(int id);
    void finish(int id, bool ok, const QString& message) { emit jobFinished(id, ok, message); }
    // Probes nothing, allows everything, plans nothing; addJobs records "addJobs(<count>)" and adds them all.
    QVariantMap probe(const QString&) const { return {}; }
    QString checkCodecs(const QString&, const QString&, const QString&) const { return {}; }
    QString plannedOutput(const QString&, const QVariantMap&) const { return {}; }
    int addJobs(const QStringList& inputs, const QVariantMap& settings);

signals:
    void jobsChanged();
    void settingsChanged();
    void jobFinished(int id, bool ok, const QString& message);
    void callsChanged();

private:
    QVariantList jobs_;
    int running_ = 0;
    int pending_ = 0;
    bool paused_ = false;
    int concurrency_ = 1;
    bool keepPartial_ = false;
    QStringList calls_;
    QVariantMap capabilities_ { { QStringLiteral("video"), QStringList { QStringLiteral("h264") } },
        { QStringLiteral("audio"), QStringList { QStringLiteral("aac") } },
        { QStringLiteral("containers"), QStringList { QStringLiteral("mp4"), QStringLiteral("mkv") } },
        { QStringLiteral("hardware"), QStringList {} } };
    QVariantMap lastSettings_;
    QString filenamePattern_ = QStringLiteral("{name}_converted.{ext}");
};

class LibraryDouble : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

public slots:
    void sendNotice(const QString& text) { emit notice(text); }

signals:
    void notice(const QString& text);
};

// Also a receiver for the player: attached to the real bridge, it makes Player.casting the bridge's own, with
// the state, position, duration and volume the test sets.
class CastDouble : public QObject, public ui::RemotePlayback {
    Q_OBJECT
    Q_PROPERTY(bool enabled MEMBER enabled_ NOTIFY settingsChanged)
    Q_PROPERTY(QVariantList devices MEMBER devices_ NOTIFY devicesChanged)
    Q_PROPERTY(bool active MEMBER active_ NOTIFY stateChanged)
    Q_PROPERTY(bool busy MEMBER busy_ NOTIFY stateChanged)
    Q_PROPERTY(QString deviceName MEMBER deviceName_ NOTIFY stateChanged)
    Q_PROPERTY(QString mode MEMBER mode_ NOTIFY stateChanged)
    Q_PROPERTY(QString status MEMBER status_ NOTIFY stateChanged)
    Q_PROPERTY(QString lastError MEMBER lastError_ NOTIFY stateChanged)
    Q_PROPERTY(QStringList diagnostics MEMBER diagnostics_ NOTIFY diagnosticsChanged)
    Q_PROPERTY(bool discoverOnStart MEMBER discoverOnStart_ NOTIFY settingsChanged)
    Q_PROPERTY(QString subtitleMode MEMBER subtitleMode_ NOTIFY settingsChanged)
    Q_PROPERTY(int maxBitrateMbps MEMBER maxBitrateMbps_ NOTIFY settingsChanged)
    Q_PROPERTY(int cacheSeconds MEMBER cacheSeconds_ NOTIFY settingsChanged)
    Q_PROPERTY(QStringList calls MEMBER calls_ NOTIFY callsChanged)
    // The receiver's side, as the player reads it.
    Q_PROPERTY(int remoteState READ state WRITE setRemoteState)
    Q_PROPERTY(qint64 remotePositionUs READ position WRITE setRemotePosition)
    Q_PROPERTY(qint64 remoteDurationUs READ duration WRITE setRemoteDuration)
    Q_PROPERTY(double remoteVolume READ volume WRITE setRemoteVolume)

public:
    explicit CastDouble(ui::MediaSessionBridge* bridge, QObject* parent = nullptr);
    ~CastDouble() override;

    void load(const QString& url, int64_t startUs) override;
    void play() override;
    void pause() override;
    void stopPlayback() override;
    void seek(int64_t us) override;
    void setVolume(double volume) override;
    int64_t position() override { return positionUs_; }
    int64_t duration() override { return durationUs_; }
    double volume() override { return volume_; }
    int state() override { return state_; }

    void setRemoteState(int state);
    void setRemotePosition(qint64 us);
    void setRemoteDuration(qint64 us);
    void setRemoteVolume(double volume);

public slots:
    void start(const QString& deviceId);
    void stop();
    void refresh();
    void setMenuOpen(bool open);
    void sendNotice(const QString& text) { emit notice(text); }
    // Hands the player over to this receiver, or takes it back.
    void attach();
    void detach(bool resumeLocally);

signals:
    void devicesChanged();
    void stateChanged();
    void settingsChanged();
    void diagnosticsChanged();
    void notice(const QString& text);
    void callsChanged();

private:
    void record(const QString& call);
    void remoteChanged();

    QPointer<ui::MediaSessionBridge> bridge_;
    bool enabled_ = true;
    QVariantList devices_;
    bool active_ = false;
    bool busy_ = false;
    QString deviceName_;
    QString mode_;
    QString status_;
    QString lastError_;
    QStringList diagnostics_;
    bool discoverOnStart_ = true;
    QString subtitleMode_ = QStringLiteral("auto");
    int maxBitrateMbps_ = 0;
    int cacheSeconds_ = 300;
    QStringList calls_;
    int state_ = 0;
    qint64 positionUs_ = 0;
    qint64 durationUs_ = 0;
    double volume_ = 1.0;
    bool attached_ = false;
};

} // namespace kvr::test
