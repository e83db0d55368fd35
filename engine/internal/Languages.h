#pragma once

#include <string>

namespace kvr::engine::internal {

// The one rule by which the engine compares language tags: "eng", "English" and "en" all become "en". Tags the
// table does not know come back lower-cased; region suffixes are not split off ("pt-BR" stays "pt-br").
std::string normalizeLanguage(const std::string& tag);

// False when either tag is empty, else whether both normalise to the same tag.
bool sameLanguage(const std::string& a, const std::string& b);

} // namespace kvr::engine::internal
