// The bridge's playlist facet: opening entries, navigation rules, the play queue and recent files.
#include "ui/MediaSessionBridge.h"

#include "ui/PlaylistFiles.h"

#include <QRandomGenerator64>

#include <algorithm>

namespace kvr::ui {

bool MediaSessionBridge::openEntry(int index)
{
    if (!session_ || index < 0 || index >= playlist_.size())
        return false;
    saveResumePosition();
    cancelPendingOpen();
    endHandled_ = false;
    playedRecorded_ = false;

    if (playlistIndex_ >= 0 && playlistIndex_ != index) {
        playHistory_.push_back(playlistIndex_);
        const size_t limit = static_cast<size_t>(std::max<qsizetype>(playlist_.size() - 1, 1));
        if (playHistory_.size() > limit)
            playHistory_.erase(playHistory_.begin());
    }
    playlistIndex_ = index;
    const QString path = playlist_[index];

    int64_t start = 0;
    if (pendingStartUs_ >= 0) {
        start = pendingStartUs_;
        pendingStartUs_ = -1;
    } else {
        start = resumePositionFor(path);
    }
    pendingResumeUs_ = start;
    startOpenThread(path, start);
    emit playlistChanged();
    return true;
}

int MediaSessionBridge::nextIndex() const
{
    const int n = int(playlist_.size());
    if (n == 0)
        return -1;
    if (!shuffle_ || n <= 1) {
        const int i = playlistIndex_ + 1;
        if (i < n)
            return i;
        return repeatMode_ == RepeatAll ? 0 : -1;
    }
    std::vector<int> candidates;
    for (int i = 0; i < n; ++i) {
        if (i != playlistIndex_ && std::find(playHistory_.begin(), playHistory_.end(), i) == playHistory_.end())
            candidates.push_back(i);
    }
    if (candidates.empty()) {
        if (repeatMode_ != RepeatAll)
            return -1;
        for (int i = 0; i < n; ++i) {
            if (i != playlistIndex_)
                candidates.push_back(i);
        }
    }
    const uint64_t r = QRandomGenerator64::global()->generate() & 0xffffffffULL;
    return candidates[static_cast<size_t>((candidates.size() * r) >> 32)];
}

QString MediaSessionBridge::currentEntry() const
{
    return playlistIndex_ >= 0 && playlistIndex_ < playlist_.size() ? playlist_[playlistIndex_] : QString();
}

void MediaSessionBridge::restorePlaylist(const QStringList& paths, int index)
{
    if (paths.isEmpty())
        return;
    playlist_ = paths;
    playlistIndex_ = index >= 0 && index < paths.size() ? index : -1;
    emit playlistChanged();
}

void MediaSessionBridge::setRepeatMode(int mode)
{
    mode = std::clamp(mode, int(RepeatOff), int(RepeatAll));
    if (mode == repeatMode_)
        return;
    repeatMode_ = mode;
    settings_.setValue(QStringLiteral("playback/repeatMode"), mode);
    emit repeatChanged();
    if (mode == RepeatOff)
        emit osd(tr("Repeat off"));
    else if (mode == RepeatOne)
        emit osd(tr("Repeat one"));
    else
        emit osd(tr("Repeat all"));
}

void MediaSessionBridge::setRepeat(bool on)
{
    setRepeatMode(on ? RepeatOne : RepeatOff);
}

void MediaSessionBridge::setShuffle(bool on)
{
    if (on == shuffle_)
        return;
    shuffle_ = on;
    playHistory_.clear();
    settings_.setValue(QStringLiteral("playback/shuffle"), on);
    emit shuffleChanged();
    emit osd(on ? tr("Shuffle on") : tr("Shuffle off"));
}

void MediaSessionBridge::setPlayPlaylist(bool on)
{
    if (on == playPlaylist_)
        return;
    playPlaylist_ = on;
    settings_.setValue(QStringLiteral("playback/playPlaylist"), on);
    emit playPlaylistChanged();
}

QStringList MediaSessionBridge::supportedExtensions()
{
    return kvr::ui::supportedExtensions();
}

QStringList MediaSessionBridge::expandEntry(const QString& path)
{
    return kvr::ui::expandEntry(path);
}

QString MediaSessionBridge::toLocalPath(const QString& text)
{
    return kvr::ui::toLocalPath(text);
}

// Still to come with the rest of the play queue: they do nothing yet.

bool MediaSessionBridge::open(const QString&)
{
    return false;
}

void MediaSessionBridge::addToPlaylist(const QString&) { }

void MediaSessionBridge::openUrl(const QString&) { }

void MediaSessionBridge::removeFromPlaylist(int) { }

void MediaSessionBridge::movePlaylistItem(int, int) { }

void MediaSessionBridge::clearPlaylist() { }

void MediaSessionBridge::playFromPlaylist(int) { }

void MediaSessionBridge::playNext() { }

void MediaSessionBridge::playPrevious() { }

bool MediaSessionBridge::savePlaylist(const QString&)
{
    return false;
}

void MediaSessionBridge::playPaths(const QStringList&, int, bool) { }

void MediaSessionBridge::enqueuePaths(const QStringList&) { }

void MediaSessionBridge::playPathsNext(const QStringList&) { }

void MediaSessionBridge::appendEntries(const QStringList&) { }

void MediaSessionBridge::addRecentFile(const QString&) { }

void MediaSessionBridge::clearRecentFiles() { }

void MediaSessionBridge::openRecent(const QString&) { }

} // namespace kvr::ui
