#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kvr::engine::internal {

// A text subtitle's packet, and a line of a subtitle file, is read up to this many bytes; the renderer keeps less
// of an event than this, and FFmpeg's readers take time in proportion to a line's length.
constexpr size_t kMaxTextLineBytes = 128 * 1024;

// Bounds on what one text subtitle may ask of libass: a crafted or damaged file must not turn one event into
// gigabytes of glyph bitmaps or seconds of layout per frame.
struct GlyphLimits {
    // Largest font size in script units (the script's PlayResY: a glyph as tall as the frame).
    double maxFontSize = 288;
    // Largest \fscx / \fscy, in percent.
    double maxScalePercent = 400;
    // Largest letter spacing either way (\fsp), in script units across (an eighth of the script's width): those
    // units are stretched with the script's width, and a line spread far beyond the frame is drawn whole.
    double maxSpacing = 48;
};

// The longest prefix of `text` of at most `maxBytes` bytes that does not end inside a UTF-8 sequence.
size_t utf8PrefixLength(std::string_view text, size_t maxBytes);

// How many bytes of an event's text to keep so that it draws at most `maxGlyphs` characters, and how many it
// draws. Override blocks draw nothing and a vector drawing counts as one; the cut never splits a character or
// a block.
size_t glyphLimitedLength(std::string_view text, size_t maxGlyphs, size_t& glyphs);

// Cuts every line of `text` longer than `maxBytes` at a character boundary, in place; line ends are kept.
void cutLongLines(std::string& text, size_t maxBytes);

// Rewrites the \fs, \fscx, \fscy and \fsp tags of an event's text whose value would go beyond `limits`, following
// relative sizes (\fs+n, \fs-n) from the style's size and \r resets. `styleFontSize` gives a style's font size
// by name (an empty name: the event's own style). True when something was changed.
bool clampGlyphSizes(
    std::string& text, const GlyphLimits& limits, const std::function<double(std::string_view)>& styleFontSize);

} // namespace kvr::engine::internal
