#pragma once

#include "engine/VideoFrame.h"

#include <memory>

// Free functions on a decoded picture. They only read the frame they are given and may run on any thread.
namespace kvr::engine {

// A packed BGRA copy (format 0) with its own tightly packed bytes, converted with the frame's colour matrix and
// range; empty when the frame holds no picture or the conversion cannot be set up.
std::shared_ptr<VideoFrame> convertToBgra(const VideoFrame& frame);

// Measures the black borders (letterbox and pillarbox bars) of the picture, each at most a third of the picture
// and rounded down to an even number of pixels. False, outputs untouched, for a black or unreadable picture;
// false with four zeros when there is no border.
bool detectBlackBars(const VideoFrame& frame, int& left, int& top, int& right, int& bottom);

} // namespace kvr::engine
