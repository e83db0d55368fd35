#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kvr::engine::internal {

// Bounds on what one text subtitle may ask of libass: a crafted or damaged file must not turn one event into
// gigabytes of glyph bitmaps or seconds of layout per frame.
struct GlyphLimits {
    // Largest font size in script units (the script's PlayResY: a glyph as tall as the frame).
    double maxFontSize = 288;
    // Largest \fscx / \fscy, in percent.
    double maxScalePercent = 400;
};

// The longest prefix of `text` of at most `maxBytes` bytes that does not end inside a UTF-8 sequence.
size_t utf8PrefixLength(std::string_view text, size_t maxBytes);

// Rewrites the \fs, \fscx and \fscy tags of an event's text whose value would go beyond `limits`, following
// relative sizes (\fs+n, \fs-n) from the style's size and \r resets. `styleFontSize` gives a style's font size
// by name (an empty name: the event's own style). True when something was changed.
bool clampGlyphSizes(
    std::string& text, const GlyphLimits& limits, const std::function<double(std::string_view)>& styleFontSize);

} // namespace kvr::engine::internal
