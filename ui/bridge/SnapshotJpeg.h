#pragma once

#include <QString>

#include <cstdint>
#include <vector>

namespace kvr::ui {

// Encodes packed BGRA pixels (bytesPerLine apart) as a full-range 4:4:4 JPEG at quantiser 2 and appends the
// complete file to `out`. False with a short text in `error` when nothing could be made.
bool encodeSnapshotJpeg(
    const uint8_t* pixels, int width, int height, int bytesPerLine, std::vector<uint8_t>& out, QString& error);

} // namespace kvr::ui
