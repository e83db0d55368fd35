#include "engine/internal/SubtitleLimits.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace kvr::engine::internal {
namespace {

struct Number {
    size_t begin = 0; // first character of the value, its sign included
    size_t end = 0;
    bool sign = false;
    double value = 0;
};

// A tag's numeric argument as libass reads it: leading blanks, an optional sign, digits with an optional fraction
// and exponent. False when no digits follow.
bool readNumber(const std::string& text, size_t at, Number& out)
{
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
    out.begin = at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        out.sign = true;
        negative = text[at] == '-';
        ++at;
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data() + at, text.data() + text.size(), value);
    if (ec != std::errc() && ec != std::errc::result_out_of_range)
        return false;
    if (ec == std::errc::result_out_of_range)
        value = HUGE_VAL;
    out.end = static_cast<size_t>(end - text.data());
    out.value = negative ? -value : value;
    return true;
}

bool startsWith(const std::string& text, size_t at, std::string_view prefix)
{
    return text.compare(at, prefix.size(), prefix) == 0;
}

std::string limitText(double limit)
{
    return std::to_string(static_cast<long long>(std::floor(limit)));
}

// A limit that may have a fraction and a sign, in the C locale's notation.
std::string signedLimitText(double limit)
{
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, limit);
    return ec == std::errc() ? std::string(buffer, end) : std::string("0");
}

} // namespace

size_t utf8PrefixLength(std::string_view text, size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text.size();
    size_t length = maxBytes;
    // Step back over continuation bytes to the start of the sequence that would be cut.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    return length;
}

size_t glyphLimitedLength(std::string_view text, size_t maxGlyphs, size_t& glyphs)
{
    glyphs = 0;
    bool drawing = false;
    bool drawingCounted = false;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '{') {
            const size_t close = text.find('}', i);
            const size_t end = close == std::string_view::npos ? text.size() : close + 1;
            // \p with a number switches drawing mode: \p0 ends it, any other scale starts it (\pos, \pbo are
            // other tags).
            for (size_t at = text.find("\\p", i); at != std::string_view::npos && at < end;
                 at = text.find("\\p", at + 2)) {
                const char c = at + 2 < text.size() ? text[at + 2] : '\0';
                if (c >= '0' && c <= '9') {
                    drawing = c != '0' || (at + 3 < end && text[at + 3] >= '1' && text[at + 3] <= '9');
                    drawingCounted = false;
                }
            }
            i = end;
            continue;
        }
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) != 0x80) {
            const bool counts = !drawing || !drawingCounted;
            if (counts && glyphs == maxGlyphs)
                return i;
            if (counts)
                ++glyphs;
            if (drawing)
                drawingCounted = true;
        }
        ++i;
    }
    return text.size();
}

void cutLongLines(std::string& text, size_t maxBytes)
{
    size_t write = 0;
    size_t read = 0;
    while (read < text.size()) {
        size_t end = text.find('\n', read);
        const bool lastLine = end == std::string::npos;
        if (lastLine)
            end = text.size();
        const size_t keep = utf8PrefixLength(std::string_view(text).substr(read, end - read), maxBytes);
        if (write != read)
            std::memmove(text.data() + write, text.data() + read, keep);
        write += keep;
        if (!lastLine)
            text[write++] = '\n';
        read = lastLine ? end : end + 1;
    }
    text.resize(write);
}

bool clampGlyphSizes(
    std::string& text, const GlyphLimits& limits, const std::function<double(std::string_view)>& styleFontSize)
{
    bool changed = false;
    double fontSize = styleFontSize({});
    size_t open = text.find('{');
    while (open != std::string::npos) {
        // An unclosed block is checked to the end: harmless for literal text, and safe whatever libass makes of it.
        size_t close = text.find('}', open);
        auto blockEnd = [&] { return close == std::string::npos ? text.size() : close; };
        // Puts `limit` in place of a number; the block's end moves with the text.
        auto replaceWith = [&](Number& n, const std::string& value) {
            text.replace(n.begin, n.end - n.begin, value);
            if (close != std::string::npos)
                close = close + value.size() - (n.end - n.begin);
            n.end = n.begin + value.size();
            changed = true;
        };
        auto replace = [&](Number& n, double limit) { replaceWith(n, limitText(limit)); };
        size_t p = open + 1;
        while (p < blockEnd()) {
            if (text[p] != '\\') {
                ++p;
                continue;
            }
            const size_t tag = p + 1;
            p = tag;
            Number n;
            if (startsWith(text, tag, "fscx") || startsWith(text, tag, "fscy")) {
                p = tag + 4;
                if (readNumber(text, p, n)) {
                    if (n.value > limits.maxScalePercent)
                        replace(n, limits.maxScalePercent);
                    p = n.end;
                }
            } else if (startsWith(text, tag, "fsp")) {
                p = tag + 3;
                if (readNumber(text, p, n)) {
                    if (std::abs(n.value) > limits.maxSpacing)
                        replaceWith(n, signedLimitText(std::copysign(limits.maxSpacing, n.value)));
                    p = n.end;
                }
            } else if (startsWith(text, tag, "fsc")) {
                p = tag + 3;
            } else if (startsWith(text, tag, "fs")) {
                p = tag + 2;
                if (!readNumber(text, p, n)) {
                    fontSize = styleFontSize({});
                    continue;
                }
                const double size = n.sign ? fontSize * (1 + n.value / 10) : n.value;
                if (!(size > 0)) {
                    fontSize = styleFontSize({});
                } else if (size > limits.maxFontSize) {
                    replace(n, limits.maxFontSize);
                    fontSize = limits.maxFontSize;
                } else {
                    fontSize = size;
                }
                p = n.end;
            } else if (startsWith(text, tag, "r")) {
                size_t nameEnd = tag + 1;
                while (nameEnd < blockEnd() && text[nameEnd] != '\\' && text[nameEnd] != ')')
                    ++nameEnd;
                fontSize = styleFontSize(std::string_view(text).substr(tag + 1, nameEnd - tag - 1));
                p = nameEnd;
            }
        }
        if (close == std::string::npos)
            break;
        open = text.find('{', close + 1);
    }
    return changed;
}

} // namespace kvr::engine::internal
