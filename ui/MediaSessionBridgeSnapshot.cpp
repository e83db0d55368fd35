// The bridge's snapshot facet: saving the picture on screen.
#include "ui/MediaSessionBridge.h"

namespace kvr::ui {

// Still to come with snapshots: nothing is saved yet.

QString MediaSessionBridge::saveSnapshot()
{
    return {};
}

} // namespace kvr::ui
