// The bridge's playlist facet: opening entries, navigation rules, the play queue and recent files.
#include "ui/bridge/MediaSessionBridge.h"

#include "ui/AddressText.h"
#include "ui/bridge/PlaylistFiles.h"

#include <QFileInfo>
#include <QRandomGenerator64>
#include <QUrl>

#include <algorithm>

namespace kvr::ui {

namespace {

constexpr int recentLimit = 15;
const QString recentKey = QStringLiteral("recent/files");

} // namespace

bool MediaSessionBridge::openEntry(int index)
{
    if (!session_ || index < 0 || index >= playlist_.size())
        return false;
    // Every open passes here: whatever put the entry in the list, FFmpeg never sees another scheme.
    if (!isAllowedEntry(playlist_[index])) {
        const QString entry = playlist_[index];
        reportOpenFailed(entry, reportRefused({ entry }));
        return false;
    }
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
    if (casting()) {
        mediaTitle_ = isNetworkUrl(path) ? displayAddress(path) : QFileInfo(path).completeBaseName();
        mediaArtist_.clear();
        mediaAlbum_.clear();
        coverArtUrl_.clear();
        emit mediaInfoChanged();
        remote_->load(path, start);
        emit playlistChanged();
        emit sessionChanged();
        emit stateChanged();
        return true;
    }
    loadEffectsForSource(path);
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
    // The stored session is outside text like any other: what may not be opened is left out, and the index
    // follows its entry (none when that entry was left out).
    QStringList kept;
    QStringList refused;
    int keptIndex = -1;
    for (int i = 0; i < paths.size(); ++i) {
        if (!isAllowedEntry(paths[i])) {
            refused.append(paths[i]);
            continue;
        }
        if (i == index)
            keptIndex = int(kept.size());
        kept.append(paths[i]);
    }
    reportRefused(refused);
    if (kept.isEmpty())
        return;
    playlist_ = kept;
    playlistIndex_ = keptIndex;
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

QStringList MediaSessionBridge::acceptPaths(const QStringList& paths, QStringList& refused)
{
    QStringList entries;
    for (const QString& path : paths) {
        const QString entry = normalizeEntryPath(path);
        if (entry.isEmpty())
            continue;
        if (isAllowedEntry(entry))
            entries.append(entry);
        else
            refused.append(entry);
    }
    return entries;
}

QString MediaSessionBridge::reportRefused(const QStringList& refused)
{
    if (refused.isEmpty())
        return {};
    const QString first = displayAddress(refused.first());
    const QString text = refused.size() == 1
        ? tr("Skipped %1: not a supported address").arg(first)
        : tr("Skipped %1 and %n more unsupported address(es)", nullptr, int(refused.size() - 1)).arg(first);
    emit osd(text);
    return text;
}

bool MediaSessionBridge::open(const QString& path)
{
    stop();
    playlist_.clear();
    playlistIndex_ = -1;
    playHistory_.clear();
    emit playlistChanged();
    addToPlaylist(path);
    return true;
}

void MediaSessionBridge::appendEntries(const QStringList& entries)
{
    if (entries.isEmpty())
        return;
    // Adding to an idle or failed player starts the first new entry; while something plays or opens, it only
    // queues.
    bool openFirst = false;
    if (session_) {
        const State s = engineState();
        openFirst = (s == Idle || s == Error) && !openRunning();
    }
    const int first = int(playlist_.size());
    playlist_.append(entries);
    emit playlistChanged();
    if (openFirst)
        openEntry(first);
}

void MediaSessionBridge::addToPlaylist(const QString& path)
{
    const QString p = normalizeEntryPath(path);
    if (p.isEmpty())
        return;
    QStringList refused;
    const QStringList entries = kvr::ui::expandEntry(p, &refused);
    if (!entries.isEmpty()) {
        appendEntries(entries);
        if (entries.size() > 1)
            emit osd(tr("Added %n item(s)", nullptr, int(entries.size())));
    } else if (refused.isEmpty()) {
        const QString why = QFileInfo(p).isDir() ? tr("No media files in that folder")
                                                 : tr("Nothing playable in %1").arg(QFileInfo(p).fileName());
        emit osd(why);
        reportOpenFailed(p, why);
    }
    // Last, so that it is the message left on screen.
    const QString skipped = reportRefused(refused);
    if (entries.isEmpty() && !skipped.isEmpty())
        reportOpenFailed(p, skipped);
}

void MediaSessionBridge::openUrl(const QString& url)
{
    const QString text = url.trimmed();
    if (isAllowedStreamUrl(text)) {
        playlist_.append(text);
        emit playlistChanged();
        openEntry(int(playlist_.size()) - 1);
        return;
    }
    if (QUrl(text, QUrl::TolerantMode).isLocalFile()) {
        addToPlaylist(text);
        return;
    }
    emit osd(tr("Not a supported stream address"));
}

void MediaSessionBridge::enqueuePaths(const QStringList& paths)
{
    QStringList refused;
    const QStringList entries = acceptPaths(paths, refused);
    if (!entries.isEmpty()) {
        appendEntries(entries);
        emit osd(tr("Added %n item(s) to the queue", nullptr, int(entries.size())));
    }
    reportRefused(refused);
}

void MediaSessionBridge::playPathsNext(const QStringList& paths)
{
    if (playlistIndex_ < 0) {
        enqueuePaths(paths);
        return;
    }
    QStringList refused;
    const QStringList entries = acceptPaths(paths, refused);
    if (!entries.isEmpty()) {
        const int at = playlistIndex_ + 1;
        for (int i = 0; i < entries.size(); ++i)
            playlist_.insert(at + i, entries[i]);
        // The history keeps naming the entries played before, wherever they moved.
        for (int& h : playHistory_) {
            if (h >= at)
                h += int(entries.size());
        }
        emit playlistChanged();
        emit osd(tr("Playing next: %n item(s)", nullptr, int(entries.size())));
    }
    reportRefused(refused);
}

void MediaSessionBridge::playPaths(const QStringList& paths, int index, bool shuffle)
{
    QStringList refused;
    QStringList entries;
    // index names one of the given paths; it follows that path when others before it are left out.
    int start = 0;
    for (int i = 0; i < paths.size(); ++i) {
        if (i == index)
            start = int(entries.size());
        entries.append(acceptPaths({ paths[i] }, refused));
    }
    reportRefused(refused);
    if (entries.isEmpty())
        return;

    playHistory_.clear();
    playlist_ = entries;
    playlistIndex_ = -1;
    if (shuffle && !shuffle_)
        setShuffle(true);
    emit playlistChanged();

    const int n = int(entries.size());
    start = std::clamp(index < 0 ? 0 : (index >= paths.size() ? n - 1 : start), 0, n - 1);
    if (shuffle && index < 1) {
        // Uniform: draw under the next power of two and reject what lies past the end.
        uint64_t mask = uint64_t(n - 1);
        for (int shift = 1; shift < 64; shift <<= 1)
            mask |= mask >> shift;
        uint64_t r = 0;
        do {
            r = QRandomGenerator64::global()->generate() & mask;
        } while (r >= uint64_t(n));
        start = int(r);
    }
    openEntry(start);
}

void MediaSessionBridge::removeFromPlaylist(int idx)
{
    if (idx < 0 || idx >= playlist_.size())
        return;
    playlist_.removeAt(idx);
    playHistory_.clear();
    if (idx == playlistIndex_) {
        stop();
        playlistIndex_ = -1;
        if (idx < playlist_.size())
            openEntry(idx);
    } else if (idx < playlistIndex_) {
        --playlistIndex_;
    }
    emit playlistChanged();
}

void MediaSessionBridge::movePlaylistItem(int from, int to)
{
    const int n = int(playlist_.size());
    if (from < 0 || from >= n || to < 0 || to >= n || from == to)
        return;
    playlist_.move(from, to);
    if (playlistIndex_ == from)
        playlistIndex_ = to;
    else if (from < playlistIndex_ && playlistIndex_ <= to)
        --playlistIndex_;
    else if (to <= playlistIndex_ && playlistIndex_ < from)
        ++playlistIndex_;
    playHistory_.clear();
    emit playlistChanged();
}

void MediaSessionBridge::clearPlaylist()
{
    stop();
    playlist_.clear();
    playlistIndex_ = -1;
    playHistory_.clear();
    emit playlistChanged();
}

void MediaSessionBridge::playFromPlaylist(int idx)
{
    openEntry(idx);
}

void MediaSessionBridge::playNext()
{
    if (playlist_.isEmpty())
        return;
    const int next = nextIndex();
    if (next >= 0)
        openEntry(next);
    else
        emit osd(tr("End of playlist"));
}

void MediaSessionBridge::playPrevious()
{
    if (playlist_.isEmpty())
        return;
    // Inside a seek the clock reads the target on its way.
    const bool loaded = hasMedia();
    if (loaded && clockUs() > 3'000'000) {
        seekUs(0);
        return;
    }
    if (shuffle_ && !playHistory_.empty()) {
        const int h = playHistory_.back();
        playHistory_.pop_back();
        if (h >= 0 && h < playlist_.size()) {
            // Going back must not put the entry being left into the history.
            const int left = playlistIndex_;
            playlistIndex_ = -1;
            if (!openEntry(h))
                playlistIndex_ = left;
            return;
        }
    }
    int p = playlistIndex_ - 1;
    if (p < 0 && repeatMode_ == RepeatAll)
        p = int(playlist_.size()) - 1;
    if (p < 0) {
        if (loaded)
            seekUs(0);
        return;
    }
    openEntry(p);
}

bool MediaSessionBridge::savePlaylist(const QString& fileUrl)
{
    const QString path = toLocalPath(fileUrl);
    if (path.isEmpty())
        return false;
    if (!writePlaylistFile(path, playlist_)) {
        emit osd(tr("Could not save the playlist"));
        return false;
    }
    emit osd(tr("Playlist saved"));
    return true;
}

QStringList MediaSessionBridge::recentFiles() const
{
    // The menu shows these texts and hands one back to openRecent, which finds the address behind it.
    QStringList labels;
    labels.reserve(recentFiles_.size());
    for (const QString& entry : recentFiles_)
        labels << displayAddress(entry);
    return labels;
}

void MediaSessionBridge::addRecentFile(const QString& path)
{
    // One item per shown text: the same stream with other credentials replaces the older item.
    const QString label = displayAddress(path);
    recentFiles_.removeIf([&](const QString& entry) { return displayAddress(entry) == label; });
    recentFiles_.prepend(path);
    while (recentFiles_.size() > recentLimit)
        recentFiles_.removeLast();
    settings_.setValue(recentKey, recentFiles_);
    emit recentFilesChanged();
}

void MediaSessionBridge::clearRecentFiles()
{
    recentFiles_.clear();
    settings_.remove(recentKey);
    emit recentFilesChanged();
}

void MediaSessionBridge::openRecent(const QString& text)
{
    // The text is what recentFiles shows; the item behind it may hold credentials the text leaves out.
    QString path = text;
    for (const QString& entry : recentFiles_) {
        if (entry == text || displayAddress(entry) == text) {
            path = entry;
            break;
        }
    }
    int i = int(playlist_.indexOf(path));
    if (i < 0) {
        const bool refused = !isAllowedEntry(path);
        if (refused || (!isNetworkUrl(path) && !QFileInfo(path).isFile())) {
            // Either way it can never be opened again: it leaves the list.
            if (refused)
                reportRefused({ path });
            else
                emit osd(tr("%1 no longer exists").arg(QFileInfo(path).fileName()));
            recentFiles_.removeAll(path);
            settings_.setValue(recentKey, recentFiles_);
            emit recentFilesChanged();
            return;
        }
        playlist_.append(path);
        emit playlistChanged();
        i = int(playlist_.size()) - 1;
    }
    openEntry(i);
}

} // namespace kvr::ui
