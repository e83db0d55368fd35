#pragma once

#include "ui/bridge/RemotePlayback.h"
#include "ui/cast/CastDevice.h"
#include "ui/cast/CastDiscovery.h"
#include "ui/cast/CastServer.h"
#include "ui/cast/GrowingFile.h"
#include "ui/cast/LoadRequest.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>

#include <atomic>
#include <memory>
#include <thread>

namespace kvr::ui {
class MediaSessionBridge;
}

namespace kvr::ui::cast {

class CastController;

// Casting ("Cast" in QML): finds receivers on the network, connects to one and hands the player's playback
// over to it. As the player's remote it stands for the connected receiver. GUI thread only.
class CastSession : public QObject, public RemotePlayback {
    Q_OBJECT
    Q_CLASSINFO("QML.Element", "anonymous")
    Q_PROPERTY(QVariantList devices READ devices NOTIFY devicesChanged)
    Q_PROPERTY(bool active READ active NOTIFY stateChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY stateChanged)
    Q_PROPERTY(QString deviceId READ deviceId NOTIFY stateChanged)
    Q_PROPERTY(QString deviceName READ deviceName NOTIFY stateChanged)
    Q_PROPERTY(QString deviceType READ deviceType NOTIFY stateChanged)
    Q_PROPERTY(QString mode READ mode NOTIFY stateChanged)
    Q_PROPERTY(QString status READ status NOTIFY stateChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY stateChanged)
    Q_PROPERTY(QStringList diagnostics READ diagnostics NOTIFY diagnosticsChanged)
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY settingsChanged)
    Q_PROPERTY(bool discoverOnStart READ discoverOnStart WRITE setDiscoverOnStart NOTIFY settingsChanged)
    Q_PROPERTY(QString subtitleMode READ subtitleMode WRITE setSubtitleMode NOTIFY settingsChanged)
    Q_PROPERTY(int maxBitrateMbps READ maxBitrateMbps WRITE setMaxBitrateMbps NOTIFY settingsChanged)
    Q_PROPERTY(int cacheSeconds READ cacheSeconds WRITE setCacheSeconds NOTIFY settingsChanged)

public:
    // How long a released controller lives on, so that its last request to the receiver (a stop) can leave.
    static constexpr int kReleaseDelayMs = 2000;
    static constexpr int kDiagnosticsLines = 300;
    // diagnosticsChanged goes out at most once this often: every request a receiver (or anyone) makes is a
    // line, and each emission costs a relayout of the whole log where it is shown.
    static constexpr int kDiagnosticsSignalMs = 250;
    static constexpr int kStartupDiscoveryDelayMs = 4000;
    // A load waits for this much of a live conversion (or its end) before the receiver is told to fetch it,
    // checking every kReadyIntervalMs, at most kReadyTries times.
    static constexpr qint64 kReadyBytes = 262144;
    static constexpr int kReadyIntervalMs = 100;
    static constexpr int kReadyTries = 150;
    // How long a stream file outlives its conversion, so that a receiver still reading it is not cut short.
    static constexpr int kStreamDeleteDelayMs = 2000;

    // How one load reaches the receiver: the source as it is, its streams copied into another container, or
    // re-encoded, and whether the conversion draws subtitles into the picture.
    struct Plan {
        // 0 direct, 1 remux, 2 transcode.
        int mode = 0;
        // Output container of a conversion: "mp4", "ts" or "mp3".
        QString container;
        // "copy", "h264" or "none" (no picture).
        QString videoCodec;
        // "copy", "aac", "mp3" or "none" (no sound).
        QString audioCodec;
        // Extension of the served stream: "mp4", "ts", "m4a" or "mp3".
        QString extension;
        // Content type given to the receiver.
        QString mimeType;
        bool burnSubtitles = false;
        // Embedded subtitle stream to burn; -1 none.
        int subtitleStream = -1;
        // External subtitle file to burn.
        QString subtitleFile;
        // Audio stream the conversion keeps; -1 leaves the choice to the converter.
        int audioStream = -1;
        // Why, as one translated sentence for the diagnostics and the transcode notice.
        QString reason;
    };

    // startupDiscoveryDelayMs: how long after construction discovery starts when it is to start by itself.
    explicit CastSession(
        MediaSessionBridge* bridge, QObject* parent = nullptr, int startupDiscoveryDelayMs = kStartupDiscoveryDelayMs);
    ~CastSession() override;

    // Discovery starts by itself (casting enabled and set to discover on start) startupDiscoveryDelayMs after
    // construction. The player holds it until its window has shown its first frame: holdStartupDiscovery stops
    // the countdown, startDiscoveryAfter starts it again from now. Neither does anything when discovery is not to
    // start by itself, or once it has.
    void holdStartupDiscovery();
    void startDiscoveryAfter(int delayMs = kStartupDiscoveryDelayMs);
    // The countdown to the start-up discovery is running.
    bool startupDiscoveryPending() const { return startupDiscoveryTimer_.isActive(); }

    // The receivers found, as maps (id, type, name, model, address, port, manual, alwaysTranscode, active).
    QVariantList devices() const;
    // A controller exists: casting, or connecting to a receiver.
    bool active() const;
    // Casting and still connecting, preparing, loading or buffering.
    bool busy() const;
    QString deviceId() const;
    QString deviceName() const;
    // "chromecast", "airplay" or "dlna"; empty while not casting.
    QString deviceType() const;
    // "direct", "remux" or "transcode"; empty before anything is loaded.
    QString mode() const { return mode_; }
    QString status() const { return status_; }
    QString lastError() const { return lastError_; }
    // Newest last, each "HH:mm:ss  text".
    QStringList diagnostics() const { return diagnostics_; }

    bool enabled() const { return enabled_; }
    // Switching casting off stops it.
    void setEnabled(bool on);
    bool discoverOnStart() const { return discoverOnStart_; }
    void setDiscoverOnStart(bool on);
    QString subtitleMode() const { return subtitleMode_; }
    // "auto", "burn" or "off"; any other text is ignored.
    void setSubtitleMode(const QString& mode);
    int maxBitrateMbps() const { return maxBitrateMbps_; }
    // 0 (no limit) to 100.
    void setMaxBitrateMbps(int mbps);
    int cacheSeconds() const { return cacheSeconds_; }
    // 60 to 3600; also how long the registry keeps a receiver it no longer hears.
    void setCacheSeconds(int seconds);

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

    // Adds a timestamped line to the diagnostics, dropping the oldest beyond kDiagnosticsLines. Announces the
    // change at once when nothing was announced in the last kDiagnosticsSignalMs, else at the end of them.
    void appendDiagnostic(const QString& text);
    // Ends the cast without resuming locally and shows message.
    void fail(const QString& message);

    // Whether text names a network stream ("scheme://…") rather than a file. A path that starts with "/" is a
    // file even when "://" appears in it.
    static bool isNetworkUrl(const QString& text);
    // How source is to reach the current receiver; force asks for a transcode whatever the source. Probes
    // the source unless it is an http(s) stream that can go as it is (a network probe blocks for up to the
    // demuxer's network time-out).
    Plan choosePlan(const QString& source, bool force);
    // How subtitles travel with source. Returns the address of a published WebVTT sidecar, with its language,
    // when the receiver shows text tracks; otherwise an empty address with the stream or the file to burn in
    // (both unset when no subtitles are to be sent).
    QUrl planSubtitles(const QString& source, int& subtitleStream, QString& subtitleFile, QString& language);
    // Turns plan into an H.264 transcode that burns the given subtitles in, when there are any and a picture
    // to draw them on. Call right after choosePlan for the same source.
    void applyBurnIn(Plan& plan, const QString& source, int subtitleStream, const QString& subtitleFile) const;
    // The plan sends a picture: it keeps video and the last probed source had a video track.
    bool hasPicture(const Plan& plan) const;

    // Starts converting source from offsetUs as plan says, on the session's conversion thread, into a new
    // growing file in the session's private stream folder. Call stopTranscode first. When the folder or the
    // file cannot be made, the growing file is marked failed and no thread starts.
    void startTranscode(const QString& source, const Plan& plan, qint64 offsetUs);
    // Cancels and joins the running conversion, if any, and deletes its stream file a little later.
    void stopTranscode();
    // Hands the stored load request to the receiver once it is connected and the stream is ready; tries
    // counts the checks made so far. A check whose generation is not the current load's does nothing.
    void loadWhenReady(int tries, int generation);
    // The current conversion's file; null when none.
    std::shared_ptr<GrowingFile> growingFile() const { return growingFile_; }
    // The session's stream folder; empty until the first conversion.
    QString cacheDir() const { return cacheDir_; }

    // For tests: the track choices the player had for source when the cast began, as start takes them.
    void setTrackChoice(const QString& source, int audioTrack, int subtitleTrack, const QString& subtitleFile = {},
        bool subtitleBitmap = false, const QString& subtitleLanguage = {});
    // For tests: the registry and the media server the session owns, and the controller of the current cast.
    CastDiscovery& discovery() { return discovery_; }
    CastServer& server() { return server_; }
    CastController* controller() const { return controller_; }
    // For tests: shorter readiness checks and stream file deletion.
    void setTranscodeTimings(int readyIntervalMs, int readyTries, int streamDeleteDelayMs);
    // For tests: makes request the next load to hand over, as the load sequence does before it waits for the
    // stream, and returns that load's generation.
    int stageLoad(const LoadRequest& request);

public slots:
    // Restarts receiver discovery while casting is enabled.
    void refresh();
    // Whether a receiver list is on screen: while it is, discovery keeps asking.
    void setMenuOpen(bool open);
    // Connects to the receiver deviceId and hands the player over to it once it answers; with a cast running,
    // switches to that receiver.
    void start(const QString& deviceId);
    // Ends the cast and resumes playback here.
    void stop();
    // Reloads the entry being cast as a transcoded stream at the current position.
    void forceTranscode();
    bool alwaysTranscode(const QString& deviceId) const;
    void setAlwaysTranscode(const QString& deviceId, bool on);
    // type "airplay", "dlna" or anything else for Chromecast; address as the user typed it.
    void addManual(const QString& type, const QString& address);
    void removeManual(const QString& deviceId);
    void clearDiagnostics();

signals:
    void devicesChanged();
    void stateChanged();
    void diagnosticsChanged();
    void settingsChanged();
    // A short, translated sentence for the on-screen message line.
    void notice(const QString& text);

private:
    void saveSettings();
    void saveManualDevices();
    QVariantMap deviceMap(const CastDevice& device) const;
    // Takes the track choices the player made for its current entry, for the casts to come.
    void rememberSelection();
    CastController* createController(const CastDevice& device);
    void connectController(CastController* controller);
    void onConnected();
    // Cuts the controller off from this session, stops its receiver and deletes it a little later.
    void release(CastController* controller);
    // Starts loading source on the receiver.
    void beginLoad(const QString& source, int64_t startUs, bool force);
    // Forgets the load in progress and what the last one was, when the cast ends: the next cast starts clean.
    void endLoad();

    MediaSessionBridge* const bridge_;
    CastDiscovery discovery_;
    CastServer server_;
    CastController* controller_ = nullptr;
    // Released controllers still waiting to be deleted.
    QList<QPointer<CastController>> releasing_;
    QTimer remoteTimer_;
    QTimer startupDiscoveryTimer_;
    // Discovery is still to start by itself.
    bool startupDiscoveryDue_ = false;
    QSettings settings_;
    QString currentSource_;
    qint64 offsetUs_ = 0;
    qint64 durationUs_ = 0;
    bool transcoding_ = false;
    bool loading_ = false;
    int loadGeneration_ = 0;
    bool forceTranscoding_ = false;
    LoadRequest loadRequest_;
    QString mode_;
    QString status_;
    QString lastError_;
    QStringList diagnostics_;
    // Holds back diagnosticsChanged after an emission; pending: lines came in meanwhile.
    QTimer diagnosticsTimer_;
    bool diagnosticsPending_ = false;
    QString selectionSource_;
    int selectedAudioTrack_ = -1;
    int selectedSubtitleTrack_ = -2;
    QString selectedSubtitleFile_;
    bool selectedSubtitleBitmap_ = false;
    QString selectedSubtitleLanguage_;
    // The source of the last choosePlan had a video track wider than 0 (false for a stream not probed).
    bool planSourceHasVideo_ = false;
    bool enabled_ = true;
    bool discoverOnStart_ = true;
    QString subtitleMode_ = QStringLiteral("auto");
    int maxBitrateMbps_ = 0;
    int cacheSeconds_ = 300;
    QStringList alwaysTranscodeIds_;
    // The player is handed over on the controller's first connected after a fresh start: until the receiver
    // has answered, local playback goes on, and a receiver that never answers costs the user nothing.
    bool attachPending_ = false;
    // The live conversion: its thread (not joinable when none runs), the cancel request it and its write
    // callback read, its file, and the private folder every conversion of this session writes into.
    std::thread worker_;
    std::atomic<bool> cancelTranscode_ { false };
    std::shared_ptr<GrowingFile> growingFile_;
    QString cacheDir_;
    int readyIntervalMs_ = kReadyIntervalMs;
    int readyTries_ = kReadyTries;
    int streamDeleteDelayMs_ = kStreamDeleteDelayMs;
    // Depth of the controller reactions running: a session destroyed inside one must not delete the
    // controller whose signal is still being emitted.
    int reacting_ = 0;
};

} // namespace kvr::ui::cast
