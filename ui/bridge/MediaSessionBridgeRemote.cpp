// The bridge's remote facet: handing playback to a cast receiver and back. While casting, the playlist,
// the navigation rules and the resume store stay here; transport, opens and the state the QML side reads go
// to the receiver (see the casting branches of the session and playlist facets).
#include "ui/bridge/MediaSessionBridge.h"

#include "engine/MediaSession.h"
#include "ui/bridge/PlaylistFiles.h"

#include <algorithm>

namespace kvr::ui {

void MediaSessionBridge::attachRemote(QObject* owner, kvr::ui::RemotePlayback* remote)
{
    if (!owner || !remote)
        return;
    const bool wasCasting = casting();
    const bool wasPlaying = !wasCasting && isLoaded(state());
    const int64_t start = wasPlaying ? clockUs() : 0;
    // An open still under way goes on on the receiver, whether or not it had a resume position.
    const bool openPending = !wasCasting && (openRunning() || pendingResumeUs_ > 0);
    const QString path = currentEntry();

    if (!wasCasting && session_) {
        recordPlayed(false);
        cancelPendingOpen();
        std::lock_guard lock(engineMutex_);
        // The abandoned open's resume message must not appear once the receiver reports that it plays.
        pendingResumeUs_ = 0;
        session_->close();
    }

    remote_ = remote;
    remoteOwner_ = owner;
    playedRecorded_ = false;
    emit stateChanged();
    emit sessionChanged();

    if (!path.isEmpty()) {
        if (wasPlaying || openPending) {
            remote_->load(path, start);
            return;
        }
    } else if (wasPlaying) {
        return;
    }
    // Nothing goes to the receiver until the user opens an entry: nothing is shown as playing either.
    mediaTitle_.clear();
    mediaArtist_.clear();
    mediaAlbum_.clear();
    coverArtUrl_.clear();
    emit mediaInfoChanged();
}

void MediaSessionBridge::detachRemote(bool resumeLocally)
{
    if (!remote_)
        return;
    // Both read from the receiver before it is let go; a receiver whose owner is gone is not asked.
    const int64_t position = remoteOwner_ ? remote_->position() : 0;
    const State s = state();
    const bool wasActive = casting() && (s == Playing || s == Paused);

    remote_ = nullptr;
    remoteOwner_.clear();
    emit stateChanged();
    emit sessionChanged();
    emit clockUsChanged();
    emit volumeChanged();

    if (!resumeLocally || !wasActive || playlistIndex_ < 0 || playlistIndex_ >= playlist_.size())
        return;
    pendingStartUs_ = position;
    // A start position left behind would apply to whatever entry opens next.
    if (!openEntry(playlistIndex_))
        pendingStartUs_ = -1;
}

void MediaSessionBridge::remoteChanged()
{
    emit stateChanged();
    emit clockUsChanged();
    emit volumeChanged();
}

void MediaSessionBridge::remoteEnded()
{
    if (!casting())
        return;
    const QString path = currentEntry();
    if (!path.isEmpty() && !isNetworkUrl(path) && !playedRecorded_) {
        playedRecorded_ = true;
        // As for local media: a receiver that never learnt the length reports how far it got.
        int64_t playedUs = remote_->duration();
        if (playedUs <= 0)
            playedUs = remote_->position();
        emit played(path, std::max<qlonglong>(playedUs, 0));
    }
    if (!path.isEmpty())
        clearResumePosition(path);

    if (!openAfterEnd())
        emit stateChanged();
}

} // namespace kvr::ui
