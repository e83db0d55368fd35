#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvr::engine::internal {

// Windows-1252 to UTF-8; cannot fail: the five bytes Windows-1252 leaves undefined map to the C1 controls of the
// same value, as Windows does.
std::string ansiToUtf8(const std::string& text);

// `count` UTF-16 code units (little- or big-endian) to UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(const uint8_t* data, size_t count, bool bigEndian);

// Whether the bytes hold UTF-8, judged by lead and continuation bytes only (overlong forms pass).
bool looksLikeUtf8(const std::string& text);

// A subtitle file's bytes as UTF-8: a UTF-16 byte-order mark (FF FE or FE FF) is honoured and dropped, UTF-8
// passes unchanged (its byte-order mark included), anything else is read as Windows-1252.
std::string subtitleTextToUtf8(std::string bytes);

} // namespace kvr::engine::internal
