#pragma once

// Media the benchmarks make for themselves with the ffmpeg command line.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace kvr::bench {

// A 1080p H.264 clip of a test pattern with a 440 Hz tone, a keyframe every two seconds.
inline bool makeToneClip(const std::filesystem::path& clip, int fps, int seconds)
{
    const std::string rate = std::to_string(fps);
    const std::string duration = std::to_string(seconds);
    const std::string make = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate="
        + rate + ":duration=" + duration + " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + duration
        + " -c:v libx264 -preset veryfast -g " + std::to_string(2 * fps) + " -pix_fmt yuv420p -c:a aac -b:a 128k '"
        + clip.string() + "'";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "cannot generate the 1080p clip with ffmpeg\n");
        return false;
    }
    return true;
}

} // namespace kvr::bench
