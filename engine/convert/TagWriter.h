#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kvr::engine {

// Ordered (key, value) pairs of UTF-8 text; an empty value removes the key.
using TagList = std::vector<std::pair<std::string, std::string>>;

// Rewrites the media file at utf8Path (UTF-8 bytes; a symbolic link has its target rewritten) with the tags
// applied, copying every stream, packet and chapter without re-encoding. The new file is written beside the
// media file as "<stem>.tagtmp<extension>" and renamed over it, so the media file is either replaced whole or
// left as it was. Returns false with one user-facing sentence in error otherwise. Blocks while it copies.
bool writeTags(const std::string& utf8Path, const TagList& tags, std::string& error);

} // namespace kvr::engine
