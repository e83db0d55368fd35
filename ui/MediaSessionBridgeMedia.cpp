// The bridge's media facet: tracks, subtitles, chapters and media information.
#include "ui/MediaSessionBridge.h"

#include "engine/MediaSession.h"

namespace kvr::ui {

// Still to come with the track and chapter lists: they do nothing yet.

void MediaSessionBridge::buildChapters() { }

void MediaSessionBridge::selectAudioTrack(int) { }

void MediaSessionBridge::selectSubtitleTrack(int) { }

void MediaSessionBridge::cycleAudioTrack() { }

void MediaSessionBridge::cycleSubtitleTrack() { }

void MediaSessionBridge::loadSubtitleFile(const QString&) { }

void MediaSessionBridge::seekChapter(int) { }

void MediaSessionBridge::previousChapter() { }

QVariantMap MediaSessionBridge::mediaInfo() const
{
    return {};
}

QString MediaSessionBridge::channelText(int)
{
    return {};
}

bool MediaSessionBridge::usesHwDecode() const
{
    return session_ && session_->usesHardwareDecoding();
}

} // namespace kvr::ui
