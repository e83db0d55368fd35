#include "engine/internal/SubtitleText.h"

namespace kvr::engine::internal {
namespace {

// Code points of the bytes 0x80-0x9F; every other byte is its own code point.
constexpr char16_t kCp1252High[32] = {
    0x20AC,
    0x0081,
    0x201A,
    0x0192,
    0x201E,
    0x2026,
    0x2020,
    0x2021,
    0x02C6,
    0x2030,
    0x0160,
    0x2039,
    0x0152,
    0x008D,
    0x017D,
    0x008F,
    0x0090,
    0x2018,
    0x2019,
    0x201C,
    0x201D,
    0x2022,
    0x2013,
    0x2014,
    0x02DC,
    0x2122,
    0x0161,
    0x203A,
    0x0153,
    0x009D,
    0x017E,
    0x0178,
};

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

} // namespace

std::string ansiToUtf8(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80)
            out += c;
        else
            appendUtf8(out, b < 0xA0 ? kCp1252High[b - 0x80] : char32_t(b));
    }
    return out;
}

std::string utf16ToUtf8(const uint8_t* data, size_t count, bool bigEndian)
{
    auto unitAt = [&](size_t i) -> char32_t {
        const uint8_t a = data[2 * i];
        const uint8_t b = data[2 * i + 1];
        return bigEndian ? char32_t(a << 8 | b) : char32_t(b << 8 | a);
    };
    std::string out;
    out.reserve(count + count / 2);
    for (size_t i = 0; i < count; ++i) {
        const char32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
            const char32_t low = unitAt(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        appendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? char32_t(0xFFFD) : unit);
    }
    return out;
}

bool looksLikeUtf8(const std::string& text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char lead = p[i];
        size_t length;
        if (lead < 0x80)
            length = 1;
        else if ((lead & 0xE0) == 0xC0)
            length = 2;
        else if ((lead & 0xF0) == 0xE0)
            length = 3;
        else if ((lead & 0xF8) == 0xF0)
            length = 4;
        else
            return false;
        if (length > n - i)
            return false;
        for (size_t k = 1; k < length; ++k)
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

std::string subtitleTextToUtf8(std::string bytes)
{
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    if (bytes.size() >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF)))
        return utf16ToUtf8(p + 2, (bytes.size() - 2) / 2, p[0] == 0xFE);
    if (looksLikeUtf8(bytes))
        return bytes;
    return ansiToUtf8(bytes);
}

} // namespace kvr::engine::internal
