// The bridge's preferences facet: stored preferences, output controls and resume positions.
#include "ui/MediaSessionBridge.h"

#include "engine/MediaSession.h"
#include "ui/PlaylistFiles.h"

#include <algorithm>

namespace kvr::ui {

namespace {

const QString positionsKey = QStringLiteral("resume/positions");
const QString orderKey = QStringLiteral("resume/order");
constexpr qsizetype resumeLimit = 200;

} // namespace

void MediaSessionBridge::loadPreferences()
{
    resumePlayback_ = settings_.value(QStringLiteral("prefs/resumePlayback"), true).toBool();
    hwDecode_ = settings_.value(QStringLiteral("prefs/hwDecode"), true).toBool();
    autoLoadSubtitles_ = settings_.value(QStringLiteral("prefs/autoLoadSubtitles"), true).toBool();
    rememberPlaylist_ = settings_.value(QStringLiteral("prefs/rememberPlaylist"), true).toBool();
    audioLanguage_ = settings_.value(QStringLiteral("prefs/audioLanguage")).toString();
    subtitleLanguage_ = settings_.value(QStringLiteral("prefs/subtitleLanguage")).toString();
    seekStepSeconds_ = std::clamp(settings_.value(QStringLiteral("prefs/seekStepSeconds"), 5).toInt(), 1, 120);
    snapshotPng_ = settings_.value(QStringLiteral("prefs/snapshotPng"), true).toBool();
    subtitleScale_ = std::clamp(settings_.value(QStringLiteral("subtitles/scale"), 1.0).toDouble(), 0.3, 4.0);
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
    return session_ ? session_->speed() : 1.0;
}

int MediaSessionBridge::subtitleDelayMs() const
{
    return session_ ? static_cast<int>(session_->subtitleDelayUs() / 1000) : 0;
}

// Still to come with the rest of the preferences and output controls: they do nothing yet.

void MediaSessionBridge::applySessionPreferences() { }

void MediaSessionBridge::resetPreferences() { }

void MediaSessionBridge::setVolume(double) { }

void MediaSessionBridge::setMuted(bool) { }

void MediaSessionBridge::setSpeed(double) { }

void MediaSessionBridge::setSubtitleDelayMs(int) { }

void MediaSessionBridge::setSubtitleScale(double) { }

void MediaSessionBridge::setResumePlayback(bool) { }

void MediaSessionBridge::setHwDecode(bool) { }

void MediaSessionBridge::setAutoLoadSubtitles(bool) { }

void MediaSessionBridge::setRememberPlaylist(bool) { }

void MediaSessionBridge::setAudioLanguage(const QString&) { }

void MediaSessionBridge::setSubtitleLanguage(const QString&) { }

void MediaSessionBridge::setSeekStepSeconds(int) { }

void MediaSessionBridge::setSnapshotPng(bool) { }

} // namespace kvr::ui
