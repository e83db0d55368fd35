#pragma once

#include "engine/VideoFrame.h"

#include <memory>
#include <string>

// Pictures and subtitle text taken out of a media file. Each call opens the file on its own, keeps nothing between
// calls and may run on any thread, several at once.
namespace kvr::engine {

// The file's embedded cover (its first attached picture that decodes) as packed BGRA; pictures above 8192x8192
// are refused and larger than 4096 on their longer side come scaled down. Empty when there is none.
// formatHint, the container's short name as a probe of the same file gave it, spares guessing the format again
// (most of the cost of opening a small file); a hint that does not fit the file is ignored.
std::shared_ptr<VideoFrame> extractCoverArt(const std::string& utf8Path, const std::string& formatHint = {});

// One frame of the best video stream, taken at `fraction` of the duration (at most 95 %, the key frame at or
// before it), as packed BGRA sized to its display aspect and at most `maxWidth` wide. `rotation` holds the
// clockwise display rotation; the pixels are not turned. Empty for a file without video, or a cover only.
std::shared_ptr<VideoFrame> extractThumbnail(const std::string& utf8Path, double fraction, int maxWidth);

// The text subtitle stream `streamIndex` (or, when that names no subtitle stream, the best one) as a WebVTT
// document. False with a sentence for the user in `error` when there is nothing to send; `webvtt` may then hold a
// document without cues.
bool exportSubtitlesAsWebVtt(const std::string& utf8Path, int streamIndex, std::string& webvtt, std::string& error);

} // namespace kvr::engine
