#include "engine/convert/MediaProbe.h"

#include "engine/Logging.h"
#include "engine/StreamSelection.h"
#include "engine/internal/Demuxer.h"

#include <filesystem>

namespace kvr::engine {

MediaInfo probeMedia(const std::string& utf8Path)
{
    init_logging();
    try {
        internal::Demuxer demuxer;
        StreamSelection selection;
        selection.audioTrack = -1;
        selection.subtitleTrack = -1;
        // The path's own bytes: a wide-string conversion throws on any non-ASCII name here.
        const std::filesystem::path path(utf8Path);
        if (demuxer.open(path, 0, selection))
            return demuxer.mediaInfo;
    } catch (const std::exception& e) {
        logWarning("probeMedia: {}", e.what());
    }
    return MediaInfo {};
}

} // namespace kvr::engine
