// The bridge's remote facet: handing playback to a cast receiver and back.
#include "ui/MediaSessionBridge.h"

namespace kvr::ui {

// Still to come with casting: they do nothing yet.

void MediaSessionBridge::attachRemote(QObject*, kvr::ui::RemotePlayback*) { }

void MediaSessionBridge::detachRemote(bool) { }

void MediaSessionBridge::remoteChanged() { }

void MediaSessionBridge::remoteEnded() { }

} // namespace kvr::ui
