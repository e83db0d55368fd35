#include "engine/internal/Languages.h"

#include <initializer_list>

namespace kvr::engine::internal {
namespace {

struct LanguageRow {
    const char* canonical;
    std::initializer_list<const char*> aliases;
};

const LanguageRow languageRows[] = {
    { "en", { "eng", "english" } },
    { "de", { "ger", "deu", "german" } },
    { "fr", { "fre", "fra", "french" } },
    { "es", { "spa", "spanish" } },
    { "it", { "ita", "italian" } },
    { "pt", { "por", "portuguese" } },
    { "nl", { "dut", "nld", "dutch" } },
    { "sv", { "swe", "swedish" } },
    { "no", { "nor", "nob", "norwegian" } },
    { "da", { "dan", "danish" } },
    { "fi", { "fin", "finnish" } },
    { "pl", { "pol", "polish" } },
    { "cs", { "cze", "ces", "czech" } },
    { "hu", { "hun", "hungarian" } },
    { "ro", { "rum", "ron", "romanian" } },
    { "el", { "gre", "ell", "greek" } },
    { "tr", { "tur", "turkish" } },
    { "ru", { "rus", "russian" } },
    { "uk", { "ukr", "ukrainian" } },
    { "ar", { "ara", "arabic" } },
    { "he", { "heb", "hebrew" } },
    { "hi", { "hin", "hindi" } },
    { "th", { "tha", "thai" } },
    { "vi", { "vie", "vietnamese" } },
    { "id", { "ind", "indonesian" } },
    { "ja", { "jpn", "japanese" } },
    { "ko", { "kor", "korean" } },
    { "zh", { "chi", "zho", "chinese" } },
};

} // namespace

std::string normalizeLanguage(const std::string& tag)
{
    std::string lower = tag;
    for (char& c : lower) {
        // ASCII only: tags are ISO codes or English names, and bytes above 0x7f must pass unchanged.
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    for (const auto& row : languageRows) {
        if (lower == row.canonical)
            return lower;
        for (const char* alias : row.aliases) {
            if (lower == alias)
                return row.canonical;
        }
    }
    return lower;
}

bool sameLanguage(const std::string& a, const std::string& b)
{
    if (a.empty() || b.empty())
        return false;
    return normalizeLanguage(a) == normalizeLanguage(b);
}

} // namespace kvr::engine::internal
