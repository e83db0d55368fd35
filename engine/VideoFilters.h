#pragma once

#include <cstdint>
#include <string>

namespace kvr::engine {

// The user's picture settings. A plain value: copied freely, never changed once shared between threads.
struct VideoFilters {
    static constexpr int32_t DeinterlaceOff = 0;
    static constexpr int32_t DeinterlaceAuto = 1; // only frames flagged interlaced
    static constexpr int32_t DeinterlaceAlways = 2;

    int32_t deinterlace = DeinterlaceOff;
    std::string deinterlaceMethod = "bwdif"; // "yadif", "bwdif", "w3fdif" or "estdif"
    bool deinterlaceFieldRate = true; // one output frame per field
    int32_t denoise = 0; // 0 off, 1..3; larger acts as 3
    std::string denoiseMethod = "atadenoise"; // "nlmeans", "fftdnoiz" or "atadenoise"
    int32_t sharpen = 0; // 0 off, 1..3
    std::string sharpenMethod = "cas"; // "unsharp" or "cas"
    int32_t cropLeft = 0; // pixels
    int32_t cropTop = 0;
    int32_t cropRight = 0;
    int32_t cropBottom = 0;
    int32_t rotate = 0; // degrees clockwise
    bool hflip = false;
    bool vflip = false;
    double brightness = 0.0;
    double contrast = 1.0;
    double saturation = 1.0;
    double hue = 0.0; // degrees
    double gamma = 1.0;
    double temperature = 6500.0; // kelvin
    int32_t deband = 0; // 0 off, 1..3
    bool interpolate = false;
    int32_t interpolateFps = 60;
    bool bypass = false;

    bool operator==(const VideoFilters&) const = default;
};

} // namespace kvr::engine
