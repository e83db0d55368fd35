// The bridge's preferences facet: stored preferences, output controls and resume positions.
#include "ui/bridge/MediaSessionBridge.h"

#include "engine/MediaSession.h"
#include "ui/bridge/PlaylistFiles.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

namespace kvr::ui {

namespace {

const QString positionsKey = QStringLiteral("resume/positions");
const QString orderKey = QStringLiteral("resume/order");
constexpr qsizetype resumeLimit = 200;
constexpr int maxSubtitleDelayMs = 600'000;

const QString resumePlaybackKey = QStringLiteral("prefs/resumePlayback");
const QString hwDecodeKey = QStringLiteral("prefs/hwDecode");
const QString autoLoadSubtitlesKey = QStringLiteral("prefs/autoLoadSubtitles");
const QString rememberPlaylistKey = QStringLiteral("prefs/rememberPlaylist");
const QString audioLanguageKey = QStringLiteral("prefs/audioLanguage");
const QString subtitleLanguageKey = QStringLiteral("prefs/subtitleLanguage");
const QString seekStepSecondsKey = QStringLiteral("prefs/seekStepSeconds");
const QString snapshotPngKey = QStringLiteral("prefs/snapshotPng");
const QString subtitleScaleKey = QStringLiteral("subtitles/scale");

} // namespace

void MediaSessionBridge::loadPreferences()
{
    resumePlayback_ = settings_.value(resumePlaybackKey, true).toBool();
    hwDecode_ = settings_.value(hwDecodeKey, true).toBool();
    autoLoadSubtitles_ = settings_.value(autoLoadSubtitlesKey, true).toBool();
    rememberPlaylist_ = settings_.value(rememberPlaylistKey, true).toBool();
    audioLanguage_ = settings_.value(audioLanguageKey).toString();
    subtitleLanguage_ = settings_.value(subtitleLanguageKey).toString();
    seekStepSeconds_ = std::clamp(settings_.value(seekStepSecondsKey, 5).toInt(), 1, 120);
    snapshotPng_ = settings_.value(snapshotPngKey, true).toBool();
    subtitleScale_ = std::clamp(settings_.value(subtitleScaleKey, 1.0).toDouble(), 0.3, 4.0);
    recentFiles_ = settings_.value(QStringLiteral("recent/files")).toStringList();
    if (settings_.contains(QStringLiteral("playback/repeatMode")))
        repeatMode_ = std::clamp(settings_.value(QStringLiteral("playback/repeatMode")).toInt(), 0, 2);
    else
        repeatMode_ = settings_.value(QStringLiteral("playback/repeat"), false).toBool() ? RepeatOne : RepeatOff;
    shuffle_ = settings_.value(QStringLiteral("playback/shuffle"), false).toBool();
    playPlaylist_ = settings_.value(QStringLiteral("playback/playPlaylist"), true).toBool();
    visualization_ = std::clamp(settings_.value(QStringLiteral("prefs/visualization"), 0).toInt(), 0, 5);
}

void MediaSessionBridge::saveResumePosition()
{
    recordPlayed(false);
    if (!session_ || !isLoaded(state()))
        return;
    const QString path = currentFile();
    if (path.isEmpty() || isNetworkUrl(path))
        return;
    const qlonglong d = durationUs();
    const qlonglong p = clockUs();
    if (d < 60'000'000 || p < 10'000'000 || p > d - 15'000'000) {
        clearResumePosition(path);
        return;
    }
    QVariantMap positions = settings_.value(positionsKey).toMap();
    QStringList order = settings_.value(orderKey).toStringList();
    positions.insert(path, p);
    order.removeAll(path);
    order.prepend(path);
    while (order.size() > resumeLimit)
        positions.remove(order.takeLast());
    settings_.setValue(positionsKey, positions);
    settings_.setValue(orderKey, order);
}

void MediaSessionBridge::clearResumePosition(const QString& path)
{
    QVariantMap positions = settings_.value(positionsKey).toMap();
    if (!positions.contains(path))
        return;
    positions.remove(path);
    QStringList order = settings_.value(orderKey).toStringList();
    order.removeAll(path);
    settings_.setValue(positionsKey, positions);
    settings_.setValue(orderKey, order);
}

int64_t MediaSessionBridge::resumePositionFor(const QString& path) const
{
    if (!resumePlayback_ || isNetworkUrl(path))
        return 0;
    return settings_.value(positionsKey).toMap().value(path, 0).toLongLong();
}

double MediaSessionBridge::volume() const
{
    if (casting())
        return remote_->volume();
    if (muted_)
        return 0.0;
    return session_ ? session_->volume() : 1.0;
}

double MediaSessionBridge::speed() const
{
    // A speed on its way shows as set, as a seek's target does.
    if (reopening_ && pendingSpeed_ > 0.0)
        return pendingSpeed_;
    return session_ ? session_->speed() : 1.0;
}

int MediaSessionBridge::subtitleDelayMs() const
{
    return session_ ? static_cast<int>(session_->subtitleDelayUs() / 1000) : 0;
}

void MediaSessionBridge::applySessionPreferences()
{
    if (!session_)
        return;
    // Straight to the session, never through engineMutex_: an open may hold that for as long as a network
    // server keeps it waiting, and the session takes these at any time for its next open.
    session_->setPreferredLanguages(audioLanguage_.toStdString(), subtitleLanguage_.toStdString());
    session_->setHardwareDecoding(hwDecode_);
    session_->setAutoLoadSubtitles(autoLoadSubtitles_);
    session_->setSubtitleScale(subtitleScale_);
}

void MediaSessionBridge::resetPreferences()
{
    for (const QString& key : { resumePlaybackKey, hwDecodeKey, autoLoadSubtitlesKey, snapshotPngKey,
             rememberPlaylistKey, audioLanguageKey, subtitleLanguageKey, seekStepSecondsKey, subtitleScaleKey })
        settings_.remove(key);
    loadPreferences();
    applySessionPreferences();
    emit preferencesChanged();
    emit subtitleSettingsChanged();
    emit osd(tr("Preferences reset to defaults"));
}

void MediaSessionBridge::setVolume(double volume)
{
    // A NaN would pass every clamp and silence or distort the output.
    if (std::isnan(volume))
        return;
    if (casting()) {
        remote_->setVolume(std::clamp(volume, 0.0, 1.0));
        emit volumeChanged();
        return;
    }
    if (!session_)
        return;
    volume = std::clamp(volume, 0.0, 2.0);
    if (muted_ && volume > 0)
        muted_ = false;
    if (!qFuzzyCompare(double(session_->volume()) + 1.0, volume + 1.0) || muted_)
        session_->setVolume(float(volume));
    emit volumeChanged();
}

void MediaSessionBridge::setMuted(bool muted)
{
    if (!session_ || muted == muted_)
        return;
    if (muted) {
        volumeBeforeMute_ = session_->volume();
        session_->setVolume(0.0f);
    } else {
        session_->setVolume(float(volumeBeforeMute_ > 0.001 ? volumeBeforeMute_ : 0.8));
    }
    muted_ = muted;
    emit volumeChanged();
}

void MediaSessionBridge::setSpeed(double speed)
{
    if (casting()) {
        emit osd(tr("Speed cannot be changed while casting"));
        return;
    }
    if (!session_ || std::isnan(speed))
        return;
    speed = std::clamp(speed, 0.25, 4.0);
    // The engine takes the new speed once the reopen runs: read it again then.
    if (!reopen([speed](kvr::engine::MediaSession& s) { s.setSpeed(speed); }, [this] { emit speedChanged(); }))
        return;
    pendingSpeed_ = speed;
    emit speedChanged();
    emit osd(tr("Speed %1×").arg(QLocale().toString(speed, 'g', 3)));
}

void MediaSessionBridge::setSubtitleDelayMs(int ms)
{
    if (!session_)
        return;
    ms = std::clamp(ms, -maxSubtitleDelayMs, maxSubtitleDelayMs);
    session_->setSubtitleDelayUs(int64_t(ms) * 1000);
    emit subtitleSettingsChanged();
    emit osd(tr("Subtitle delay %1 ms").arg(ms >= 1 ? QStringLiteral("+%1").arg(ms) : QString::number(ms)));
}

void MediaSessionBridge::setSubtitleScale(double scale)
{
    if (std::isnan(scale))
        return;
    scale = std::clamp(scale, 0.3, 4.0);
    subtitleScale_ = scale;
    if (session_)
        session_->setSubtitleScale(scale);
    settings_.setValue(subtitleScaleKey, scale);
    emit subtitleSettingsChanged();
    emit osd(tr("Subtitle size %1%").arg(std::lround(scale * 100)));
}

void MediaSessionBridge::setResumePlayback(bool on)
{
    if (on == resumePlayback_)
        return;
    resumePlayback_ = on;
    settings_.setValue(resumePlaybackKey, on);
    emit preferencesChanged();
}

void MediaSessionBridge::setHwDecode(bool on)
{
    if (on == hwDecode_)
        return;
    hwDecode_ = on;
    settings_.setValue(hwDecodeKey, on);
    applySessionPreferences();
    emit preferencesChanged();
}

void MediaSessionBridge::setAutoLoadSubtitles(bool on)
{
    if (on == autoLoadSubtitles_)
        return;
    autoLoadSubtitles_ = on;
    settings_.setValue(autoLoadSubtitlesKey, on);
    applySessionPreferences();
    emit preferencesChanged();
}

void MediaSessionBridge::setRememberPlaylist(bool on)
{
    if (on == rememberPlaylist_)
        return;
    rememberPlaylist_ = on;
    settings_.setValue(rememberPlaylistKey, on);
    emit preferencesChanged();
}

void MediaSessionBridge::setAudioLanguage(const QString& language)
{
    const QString value = language.trimmed();
    if (value == audioLanguage_)
        return;
    audioLanguage_ = value;
    settings_.setValue(audioLanguageKey, value);
    applySessionPreferences();
    emit preferencesChanged();
}

void MediaSessionBridge::setSubtitleLanguage(const QString& language)
{
    const QString value = language.trimmed();
    if (value == subtitleLanguage_)
        return;
    subtitleLanguage_ = value;
    settings_.setValue(subtitleLanguageKey, value);
    applySessionPreferences();
    emit preferencesChanged();
}

void MediaSessionBridge::setSeekStepSeconds(int seconds)
{
    seconds = std::clamp(seconds, 1, 120);
    if (seconds == seekStepSeconds_)
        return;
    seekStepSeconds_ = seconds;
    settings_.setValue(seekStepSecondsKey, seconds);
    emit preferencesChanged();
}

void MediaSessionBridge::setSnapshotPng(bool on)
{
    if (on == snapshotPng_)
        return;
    snapshotPng_ = on;
    settings_.setValue(snapshotPngKey, on);
    emit preferencesChanged();
}

} // namespace kvr::ui
