#pragma once

#include "ui/bridge/RemotePlayback.h"

#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

#include <atomic>
#include <optional>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kvr::engine {
class MediaSession;
struct VideoFrame;
namespace internal {
struct SubtitleOverlay;
} // namespace internal
} // namespace kvr::engine

namespace kvr::ui {

// The player as QML sees it ("Player"): drives one engine session, keeps the playlist, the navigation rules,
// the preferences and resume positions, tracks, effects and the hand-over to a cast receiver. It lives on the
// GUI thread; its only worker is the short-lived open thread, which opens and starts the media under
// engineMutex_. Everything else on the GUI thread only tries that mutex, so a slow open never freezes the
// window.
//
// The class is spread over several sources, one per facet: MediaSessionBridge.cpp (session, state, tick,
// transport), ...Playlist.cpp, ...Prefs.cpp, ...Remote.cpp, ...Media.cpp, ...Errors.cpp, ...Snapshot.cpp and
// ...Effects.cpp.
class MediaSessionBridge : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Provided to QML as a context property by kvr_app")

    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(bool hasMedia READ hasMedia NOTIFY stateChanged)
    Q_PROPERTY(bool isOpening READ isOpening NOTIFY stateChanged)
    Q_PROPERTY(bool casting READ casting NOTIFY stateChanged)
    Q_PROPERTY(bool hasVideo READ hasVideo NOTIFY sessionChanged)
    Q_PROPERTY(int videoWidth READ videoWidth NOTIFY sessionChanged)
    Q_PROPERTY(int videoHeight READ videoHeight NOTIFY sessionChanged)
    Q_PROPERTY(int displayWidth READ displayWidth NOTIFY sessionChanged)
    Q_PROPERTY(int displayHeight READ displayHeight NOTIFY sessionChanged)
    Q_PROPERTY(double videoFps READ videoFps NOTIFY sessionChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY stateChanged)
    Q_PROPERTY(QString currentFile READ currentFile NOTIFY sessionChanged)
    Q_PROPERTY(QString mediaTitle READ mediaTitle NOTIFY mediaInfoChanged)
    Q_PROPERTY(QString mediaArtist READ mediaArtist NOTIFY mediaInfoChanged)
    Q_PROPERTY(QString mediaAlbum READ mediaAlbum NOTIFY mediaInfoChanged)
    Q_PROPERTY(QString coverArtUrl READ coverArtUrl NOTIFY mediaInfoChanged)
    Q_PROPERTY(qlonglong durationUs READ durationUs NOTIFY sessionChanged)
    Q_PROPERTY(qlonglong clockUs READ clockUs NOTIFY clockUsChanged)
    Q_PROPERTY(bool usesHwDecode READ usesHwDecode NOTIFY sessionChanged)
    Q_PROPERTY(double volume READ volume WRITE setVolume NOTIFY volumeChanged)
    Q_PROPERTY(bool muted READ muted WRITE setMuted NOTIFY volumeChanged)
    Q_PROPERTY(double speed READ speed WRITE setSpeed NOTIFY speedChanged)
    Q_PROPERTY(QVariantList audioTracks READ audioTracks NOTIFY tracksChanged)
    Q_PROPERTY(QVariantList subtitleTracks READ subtitleTracks NOTIFY tracksChanged)
    Q_PROPERTY(int currentAudioTrack READ currentAudioTrack NOTIFY tracksChanged)
    Q_PROPERTY(int currentSubtitleTrack READ currentSubtitleTrack NOTIFY tracksChanged)
    Q_PROPERTY(int subtitleDelayMs READ subtitleDelayMs WRITE setSubtitleDelayMs NOTIFY subtitleSettingsChanged)
    Q_PROPERTY(double subtitleScale READ subtitleScale WRITE setSubtitleScale NOTIFY subtitleSettingsChanged)
    Q_PROPERTY(QVariantList chapters READ chapters NOTIFY mediaInfoChanged)
    Q_PROPERTY(int currentChapter READ currentChapter NOTIFY clockUsChanged)
    Q_PROPERTY(QStringList playlist READ playlist NOTIFY playlistChanged)
    Q_PROPERTY(int playlistIndex READ playlistIndex NOTIFY playlistChanged)
    Q_PROPERTY(int playlistCount READ playlistCount NOTIFY playlistChanged)
    Q_PROPERTY(int repeatMode READ repeatMode WRITE setRepeatMode NOTIFY repeatChanged)
    Q_PROPERTY(bool repeat READ repeat WRITE setRepeat NOTIFY repeatChanged)
    Q_PROPERTY(bool shuffle READ shuffle WRITE setShuffle NOTIFY shuffleChanged)
    Q_PROPERTY(bool playPlaylist READ playPlaylist WRITE setPlayPlaylist NOTIFY playPlaylistChanged)
    Q_PROPERTY(QStringList recentFiles READ recentFiles NOTIFY recentFilesChanged)
    Q_PROPERTY(bool resumePlayback READ resumePlayback WRITE setResumePlayback NOTIFY preferencesChanged)
    Q_PROPERTY(bool hwDecode READ hwDecode WRITE setHwDecode NOTIFY preferencesChanged)
    Q_PROPERTY(bool autoLoadSubtitles READ autoLoadSubtitles WRITE setAutoLoadSubtitles NOTIFY preferencesChanged)
    Q_PROPERTY(bool rememberPlaylist READ rememberPlaylist WRITE setRememberPlaylist NOTIFY preferencesChanged)
    Q_PROPERTY(QString audioLanguage READ audioLanguage WRITE setAudioLanguage NOTIFY preferencesChanged)
    Q_PROPERTY(QString subtitleLanguage READ subtitleLanguage WRITE setSubtitleLanguage NOTIFY preferencesChanged)
    Q_PROPERTY(int seekStepSeconds READ seekStepSeconds WRITE setSeekStepSeconds NOTIFY preferencesChanged)
    Q_PROPERTY(bool snapshotPng READ snapshotPng WRITE setSnapshotPng NOTIFY preferencesChanged)
    Q_PROPERTY(QVariantMap audioEffects READ audioEffects WRITE setAudioEffects NOTIFY effectsChanged)
    Q_PROPERTY(QVariantMap videoFilters READ videoFilters WRITE setVideoFilters NOTIFY effectsChanged)
    Q_PROPERTY(bool effectsForThisFile READ effectsForThisFile WRITE setEffectsForThisFile NOTIFY effectsChanged)
    Q_PROPERTY(int audioDelayMs READ audioDelayMs WRITE setAudioDelayMs NOTIFY effectsChanged)
    Q_PROPERTY(QVariantList eqPresets READ eqPresets NOTIFY eqPresetsChanged)
    Q_PROPERTY(double replayGainTrackDb READ replayGainTrackDb NOTIFY mediaInfoChanged)
    Q_PROPERTY(double replayGainAlbumDb READ replayGainAlbumDb NOTIFY mediaInfoChanged)
    Q_PROPERTY(int visualization READ visualization WRITE setVisualization NOTIFY preferencesChanged)

public:
    // Mirrors the engine's player states value for value.
    enum State { Idle = 0, Opening = 1, Prepared = 2, Playing = 3, Paused = 4, Ending = 5, Closed = 6, Error = 7 };
    Q_ENUM(State)
    enum RepeatMode { RepeatOff = 0, RepeatOne = 1, RepeatAll = 2 };
    Q_ENUM(RepeatMode)

    explicit MediaSessionBridge(QObject* parent = nullptr);
    ~MediaSessionBridge() override;

    // Attaches the engine (not owned); null detaches it.
    void setSession(kvr::engine::MediaSession* session);

    // For the video sink and the cover provider; these may run on the render thread.
    std::shared_ptr<kvr::engine::VideoFrame> coverFrame() const;
    std::shared_ptr<kvr::engine::VideoFrame> takeFrame(int64_t clockUs, bool force);
    int64_t videoClockUs() const;
    bool renderSubtitles(int width, int height, kvr::engine::internal::SubtitleOverlay& overlay);
    // Whether takeFrame or renderSubtitles would change the picture now; cheap enough for every repaint tick.
    bool frameDue(int64_t clockUs, bool force);
    bool subtitleChangeDue() const;
    int64_t nextFramePtsUs() const;
    uint64_t sessionGeneration() const;
    // Copies up to frames of the newest output samples (stereo pairs) for the visualiser; 0 without a session.
    size_t readAudioSamples(float* out, size_t frames);

    // True from a reopen's request (seek, frame step, speed or track change, paused refresh) until the last one
    // asked for has ended.
    bool reopening() const { return reopening_; }
    // What the desktop's media controls and launcher show: through a reopen, the state and position from before
    // it, so the desktop never sees the stop a reopen passes through.
    State desktopState() const;
    qlonglong desktopClockUs() const;

    // Remembers where the current local file was left (and reports what was played); called at quit too.
    void saveResumePosition();
    void clearResumePosition(const QString& path);
    int64_t resumePositionFor(const QString& path) const;

    // Opens playlist entry index (locally on the open thread, or on the receiver while casting).
    bool openEntry(int index);
    // The entry to play after the current one, −1 when there is none.
    int nextIndex() const;
    void addRecentFile(const QString& path);
    // Applies the stored effects of a local entry (its own, else the default) before its open starts; not for
    // entries that play on a receiver.
    void loadEffectsForSource(const QString& path);

    static QString formatTime(qint64 us);
    // One sentence for the user from the engine's raw error text.
    static QString errorText(const QString& raw);
    static QString channelText(int channels);
    static QStringList supportedExtensions();
    static QStringList expandEntry(const QString& path);
    static QString toLocalPath(const QString& text);

    // Property readers and writers.
    State state() const;
    bool hasMedia() const;
    bool isOpening() const;
    bool casting() const;
    bool hasVideo() const;
    int videoWidth() const;
    int videoHeight() const;
    int displayWidth() const;
    int displayHeight() const;
    double videoFps() const;
    QString lastError() const;
    QString currentFile() const;
    QString mediaTitle() const { return mediaTitle_; }
    QString mediaArtist() const { return mediaArtist_; }
    QString mediaAlbum() const { return mediaAlbum_; }
    QString coverArtUrl() const { return coverArtUrl_; }
    qlonglong durationUs() const;
    qlonglong clockUs() const;
    bool usesHwDecode() const;
    double volume() const;
    void setVolume(double volume);
    bool muted() const { return muted_; }
    void setMuted(bool muted);
    double speed() const;
    void setSpeed(double speed);
    QVariantList audioTracks() const { return audioTracks_; }
    QVariantList subtitleTracks() const { return subtitleTracks_; }
    int currentAudioTrack() const;
    int currentSubtitleTrack() const;
    int subtitleDelayMs() const;
    void setSubtitleDelayMs(int ms);
    double subtitleScale() const { return subtitleScale_; }
    void setSubtitleScale(double scale);
    QVariantList chapters() const { return chapters_; }
    int currentChapter() const;
    QStringList playlist() const { return playlist_; }
    int playlistIndex() const { return playlistIndex_; }
    int playlistCount() const { return int(playlist_.size()); }
    int repeatMode() const { return repeatMode_; }
    void setRepeatMode(int mode);
    bool repeat() const { return repeatMode_ == RepeatOne; }
    void setRepeat(bool on);
    bool shuffle() const { return shuffle_; }
    void setShuffle(bool on);
    bool playPlaylist() const { return playPlaylist_; }
    void setPlayPlaylist(bool on);
    // The recent items as shown: addresses without their credentials.
    QStringList recentFiles() const;
    // How the window shows an entry (a playlist row, a title): an address without its credentials.
    Q_INVOKABLE QString displayAddress(const QString& entry) const;
    bool resumePlayback() const { return resumePlayback_; }
    void setResumePlayback(bool on);
    bool hwDecode() const { return hwDecode_; }
    void setHwDecode(bool on);
    bool autoLoadSubtitles() const { return autoLoadSubtitles_; }
    void setAutoLoadSubtitles(bool on);
    bool rememberPlaylist() const { return rememberPlaylist_; }
    void setRememberPlaylist(bool on);
    QString audioLanguage() const { return audioLanguage_; }
    void setAudioLanguage(const QString& language);
    QString subtitleLanguage() const { return subtitleLanguage_; }
    void setSubtitleLanguage(const QString& language);
    int seekStepSeconds() const { return seekStepSeconds_; }
    void setSeekStepSeconds(int seconds);
    bool snapshotPng() const { return snapshotPng_; }
    void setSnapshotPng(bool on);
    QVariantMap audioEffects() const;
    void setAudioEffects(const QVariantMap& map);
    QVariantMap videoFilters() const;
    void setVideoFilters(const QVariantMap& map);
    bool effectsForThisFile() const { return effectsForThisFile_; }
    void setEffectsForThisFile(bool on);
    int audioDelayMs() const;
    void setAudioDelayMs(int ms);
    QVariantList eqPresets() const;
    double replayGainTrackDb() const;
    double replayGainAlbumDb() const;
    int visualization() const { return visualization_; }
    void setVisualization(int mode);

signals:
    void sessionChanged();
    void stateChanged();
    void clockUsChanged();
    void volumeChanged();
    void speedChanged();
    void playlistChanged();
    void repeatChanged();
    void shuffleChanged();
    void playPlaylistChanged();
    void tracksChanged();
    void subtitleSettingsChanged();
    void mediaInfoChanged();
    void recentFilesChanged();
    void preferencesChanged();
    void effectsChanged();
    void eqPresetsChanged();
    // A short message for the on-screen display.
    void osd(QString text);
    // What was played of a local file: once per opened entry, when it ended or was left late enough.
    void played(QString path, qlonglong playedUs);
    // An entry could not be opened, or an added path gave nothing to play. line is what the log got:
    // "MediaSessionBridge: open failed: <entry>: <the text shown>", with any password of an address hidden.
    void openFailed(QString entry, QString line);

public slots:
    bool open(const QString& path);
    void play();
    void pause();
    void togglePlayPause();
    void stop();
    void seekUs(qlonglong target_us);
    void seekFraction(double f);
    void seekRelative(qlonglong delta_us);
    void stepFrame(bool forward);
    void addToPlaylist(const QString& path);
    void openUrl(const QString& url);
    void removeFromPlaylist(int idx);
    void movePlaylistItem(int from, int to);
    void clearPlaylist();
    void playFromPlaylist(int idx);
    void playNext();
    void playPrevious();
    bool savePlaylist(const QString& fileUrl);
    void restorePlaylist(const QStringList& paths, int index);
    void playPaths(const QStringList& paths, int index = 0, bool shuffle = false);
    void enqueuePaths(const QStringList& paths);
    void playPathsNext(const QStringList& paths);
    void attachRemote(QObject* owner, kvr::ui::RemotePlayback* remote);
    void detachRemote(bool resumeLocally);
    void remoteChanged();
    void remoteEnded();
    QString currentEntry() const;
    void selectAudioTrack(int id);
    void selectSubtitleTrack(int id);
    void cycleAudioTrack();
    void cycleSubtitleTrack();
    void loadSubtitleFile(const QString& fileUrl);
    void seekChapter(int index);
    void nextChapter();
    void previousChapter();
    QString saveSnapshot();
    QVariantMap mediaInfo() const;
    void clearRecentFiles();
    // `text` is an item as recentFiles shows it (or the stored path itself).
    void openRecent(const QString& text);
    void resetPreferences();
    void saveEqPreset(const QString& name, const QVariantList& bands, double preamp);
    void deleteEqPreset(const QString& name);
    void makeEffectsDefault();
    void resetEffectsToDefault();
    void factoryResetEffects();
    QVariantMap detectLetterbox();
    QVariantMap effectsDiagnostics() const;
    QString videoFilterChain() const;

private slots:
    void onEngineStateChanged(int new_state);
    void onTickTimer();

private:
    static bool isLoaded(State s) { return s >= Prepared && s <= Ending; }

    // Session facet.
    bool openAfterEnd();
    void recordPlayed(bool ended);
    void cancelPendingOpen();
    bool openCurrentIfStopped();
    void startOpenThread(const QString& path, int64_t startUs);
    // A reopen of the playing medium (seek, frame step, speed or track change, paused refresh). It runs on the
    // open thread exactly as an open does (abandoned and joined by stop, quit and the next entry), local or not:
    // the GUI thread only asks. Asked while another runs, it waits its turn; a waiting seek gives way to a later
    // one, so only the last target is sought. `done` follows on the GUI thread. False when dropped because an
    // open is still running.
    // A capture asked right after a seek must see the seek's picture: waits, at most `timeout`, until the open
    // thread has served the reopens asked so far. False when they still run.
    bool waitForReopens(std::chrono::milliseconds timeout);
    bool reopen(
        std::function<void(kvr::engine::MediaSession&)> work, std::function<void()> done = {}, bool isSeek = false);
    // A control that needs the engine (play, pause, an effect): runs here and now when nothing holds the engine,
    // after the reopens asked before it (on the open thread) while they run, and is dropped while an open holds
    // the engine.
    enum class Control { Ran, Queued, Dropped };
    Control control(std::function<void(kvr::engine::MediaSession&)> work, std::function<void()> done = {});
    void reopenWorker(kvr::engine::MediaSession* session);
    // Applies an effects change through control() and draws a paused picture again; false when dropped.
    bool applyEffects(std::function<void(kvr::engine::MediaSession&)> apply);
    void reopensEnded();
    // The window and the desktop go back to the engine's own values: nothing is on its way any more.
    void endReopening();
    // After a filter change: the paused picture again through the new filters.
    void refreshPausedPicture();
    State engineState() const;
    bool openRunning() const { return openRunning_; }

    // Playlist facet.
    void appendEntries(const QStringList& entries);
    // Normalises the non-empty paths; entries the player must not open go to refused.
    static QStringList acceptPaths(const QStringList& paths, QStringList& refused);
    // Tells the user which entries were left out because the player must not open them; returns the message
    // shown, empty when there was none.
    QString reportRefused(const QStringList& refused);
    // Logs why entry gave nothing to play and emits openFailed.
    void reportOpenFailed(const QString& entry, const QString& text);

    // Preferences facet.
    void loadPreferences();
    void applySessionPreferences();

    // Media facet.
    void buildChapters();

    // Effects facet.
    void storeEffects();

    kvr::engine::MediaSession* session_ = nullptr;
    QTimer tickTimer_;
    QStringList playlist_;
    int playlistIndex_ = -1;
    bool playedRecorded_ = false;
    RemotePlayback* remote_ = nullptr;
    QPointer<QObject> remoteOwner_;
    int64_t pendingStartUs_ = -1;
    std::vector<int> playHistory_;
    int repeatMode_ = RepeatOff;
    bool shuffle_ = false;
    bool playPlaylist_ = true;
    bool endHandled_ = false;
    bool muted_ = false;
    double volumeBeforeMute_ = 0.8;
    int consecutiveErrors_ = 0;
    int64_t pendingResumeUs_ = 0;
    QString mediaInfoPath_;
    QString mediaTitle_;
    QString mediaArtist_;
    QString mediaAlbum_;
    QString coverArtUrl_;
    QVariantList audioTracks_;
    QVariantList subtitleTracks_;
    QVariantList chapters_;
    double subtitleScale_ = 1.0;
    QStringList recentFiles_; // as opened and stored, credentials included, so an item can be reopened
    bool resumePlayback_ = true;
    bool hwDecode_ = true;
    bool autoLoadSubtitles_ = true;
    bool rememberPlaylist_ = true;
    QString audioLanguage_;
    QString subtitleLanguage_;
    int seekStepSeconds_ = 5;
    bool snapshotPng_ = true;
    QString effectsKey_;
    bool effectsForThisFile_ = false;
    int visualization_ = 0;
    QSettings settings_;
    // Held by the open thread for a whole open and the play that follows; lock order: before any lock of the
    // engine. Recursive, as the engine may be driven from inside a locked section.
    std::recursive_mutex engineMutex_;
    std::thread openThread_;
    // From the start of an open (or of a run of reopens) until its worker returns.
    std::atomic<bool> openRunning_ { false };
    struct ReopenJob {
        std::function<void(kvr::engine::MediaSession&)> work;
        std::function<void()> done;
        bool isSeek = false;
    };
    // Guards the reopens waiting for the open thread and whether it serves them; taken after engineMutex_ when
    // both are held, never held while waiting for the engine.
    std::mutex reopenMutex_;
    // Told when the open thread has served every reopen asked.
    std::condition_variable reopensIdle_;
    std::deque<ReopenJob> reopenJobs_;
    bool reopenWorkerRunning_ = false;
    // GUI thread only: see reopening(); the state and position the desktop keeps meanwhile; the last seek target
    // asked, so relative seeks build on it while it is on its way (−1: none).
    bool reopening_ = false;
    // What the window and the desktop keep showing while a reopen has closed the medium for a moment.
    struct Held {
        State state = Idle;
        qlonglong clockUs = 0;
        qlonglong durationUs = 0;
        int videoWidth = 0;
        int videoHeight = 0;
        int displayWidth = 0;
        int displayHeight = 0;
        double videoFps = 0.0;
    };
    Held held_;
    qlonglong pendingSeekUs_ = -1;
    double pendingSpeed_ = 0.0;
    // The tracks asked for while reopens run, so a quickly repeated cycle steps on from them (−2: none).
    int pendingAudioTrack_ = -2;
    int pendingSubtitleTrack_ = -2;
    // Effects asked while reopens run, shown as set until the engine has them, as a seek's target is.
    std::optional<QVariantMap> pendingAudioEffects_;
    std::optional<QVariantMap> pendingVideoFilters_;
};

} // namespace kvr::ui
