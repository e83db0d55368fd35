#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvr::engine {

struct MediaTag {
    std::string key;
    std::string value;
};

// Kind: 0 video, 1 audio, 2 subtitle.
struct TrackInfo {
    int32_t streamIndex = 0;
    int32_t kind = 0;
    std::string codec;
    std::string codecLongName;
    std::string language;
    std::string title;
    bool isDefault = false;
    bool forced = false;
    bool external = false;
    bool bitmap = false;
    std::string externalPath;
    int32_t width = 0;
    int32_t height = 0;
    double frameRate = 0.0;
    std::string pixelFormat;
    int32_t sampleRate = 0;
    int32_t channels = 0;
    std::string channelLayout;
    std::string sampleFormat;
    int64_t bitRate = 0;
    std::string profile;
};

struct ChapterInfo {
    int64_t startUs = 0;
    int64_t endUs = 0;
    std::string title;
};

// What the engine knows of an opened or probed medium. fileSize is -1 once read for something that is not a
// file on disk; a default record has 0.
struct MediaInfo {
    std::string path;
    std::string formatName;
    std::string formatLongName;
    int64_t durationUs = 0;
    int64_t bitRate = 0;
    int64_t fileSize = 0;
    std::vector<MediaTag> tags;
    std::vector<TrackInfo> tracks;
    std::vector<ChapterInfo> chapters;
};

} // namespace kvr::engine
