// The session's subtitle choices: selecting a stream or an external file, sidecar files beside the medium, files
// added by hand, the external entries of the media description, and the subtitle delay and scale.
#include "engine/MediaSession.h"

#include "engine/Logging.h"
#include "engine/MediaSessionImpl.h"
#include "engine/internal/Languages.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cmath>
#include <system_error>
#include <utility>

namespace kvr::engine {
namespace {

constexpr size_t maxSidecarEntries = 20000;

// One character of a file name with the byte offset where it starts in the name.
struct NameChar {
    char32_t code;
    size_t offset;
};

// Decodes UTF-8; a byte that does not start a valid sequence stands for itself as U+DC00 + byte (never a decoded
// character), so names that are not UTF-8 still compare byte by byte.
std::vector<NameChar> decodeName(const std::string& name)
{
    std::vector<NameChar> out;
    out.reserve(name.size());
    const auto* s = reinterpret_cast<const unsigned char*>(name.data());
    const size_t n = name.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        size_t length = 0;
        char32_t code = 0;
        char32_t minimum = 0;
        if (c < 0x80) {
            length = 1;
            code = c;
        } else if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            code = c & 0x1F;
            minimum = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            code = c & 0x0F;
            minimum = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            code = c & 0x07;
            minimum = 0x10000;
        }
        bool valid = length > 0 && i + length <= n;
        for (size_t k = 1; valid && k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                valid = false;
            else
                code = (code << 6) | (s[i + k] & 0x3F);
        }
        if (valid && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)))
            valid = false;
        if (!valid) {
            out.push_back({ char32_t(0xDC00 + c), i });
            ++i;
            continue;
        }
        out.push_back({ code, i });
        i += length;
    }
    return out;
}

// One character to lower case, one to one (no folding), by the Unicode tables of the C.UTF-8 locale; ASCII only
// when that locale is missing.
char32_t lowerChar(char32_t c)
{
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    if (c >= 0xDC80 && c <= 0xDCFF)
        return c; // an undecodable byte
    if (unicode)
        return char32_t(towlower_l(wint_t(c), unicode));
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

std::u32string loweredName(const std::vector<NameChar>& name)
{
    std::u32string out;
    out.reserve(name.size());
    for (const NameChar& c : name)
        out.push_back(lowerChar(c.code));
    return out;
}

std::string lowerUtf8(const std::string& text)
{
    std::string out;
    for (const NameChar& c : decodeName(text)) {
        const char32_t l = lowerChar(c.code);
        if (l >= 0xDC80 && l <= 0xDCFF) {
            out.push_back(char(l - 0xDC00));
        } else if (l < 0x80) {
            out.push_back(char(l));
        } else if (l < 0x800) {
            out.push_back(char(0xC0 | (l >> 6)));
            out.push_back(char(0x80 | (l & 0x3F)));
        } else if (l < 0x10000) {
            out.push_back(char(0xE0 | (l >> 12)));
            out.push_back(char(0x80 | ((l >> 6) & 0x3F)));
            out.push_back(char(0x80 | (l & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (l >> 18)));
            out.push_back(char(0x80 | ((l >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((l >> 6) & 0x3F)));
            out.push_back(char(0x80 | (l & 0x3F)));
        }
    }
    return out;
}

bool isSubtitleExtension(const std::string& extension)
{
    const std::string e = lowerUtf8(extension);
    return e == ".srt" || e == ".ass" || e == ".ssa" || e == ".vtt";
}

std::string externalKey(int32_t id)
{
    return "ext|" + std::to_string(id);
}

} // namespace

std::vector<ExternalSubtitle> MediaSession::findSidecarSubtitles(const std::filesystem::path& mediaPath)
{
    namespace fs = std::filesystem;
    std::vector<ExternalSubtitle> found;
    const fs::path directory = mediaPath.parent_path();
    if (directory.empty())
        return found;
    const std::u32string mediaStem = loweredName(decodeName(mediaPath.stem().native()));
    const size_t m = mediaStem.size();

    std::error_code ec;
    size_t examined = 0;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        if (examined == maxSidecarEntries)
            break;
        ++examined;
        const fs::path& entry = it->path();
        std::error_code kindError;
        if (!it->is_regular_file(kindError) || !isSubtitleExtension(entry.extension().native()))
            continue;
        const std::string stemBytes = entry.stem().native();
        const std::vector<NameChar> stem = decodeName(stemBytes);
        const std::u32string lowered = loweredName(stem);
        const bool longer = lowered.size() >= m + 2;
        const bool matches
            = lowered == mediaStem || (longer && lowered.compare(0, m, mediaStem) == 0 && lowered[m] == U'.');
        if (!matches)
            continue;
        ExternalSubtitle sidecar;
        sidecar.path = entry.native();
        sidecar.fileName = entry.filename().native();
        if (longer) {
            // Cut by characters on the name as written; lower-casing keeps one character for one.
            const size_t from = stem[m + 1].offset;
            size_t to = stemBytes.size();
            for (size_t k = m + 1; k < stem.size(); ++k) {
                if (stem[k].code == U'.') {
                    to = stem[k].offset;
                    break;
                }
            }
            sidecar.tag = stemBytes.substr(from, to - from);
        }
        found.push_back(std::move(sidecar));
    }
    std::sort(found.begin(), found.end(),
        [](const ExternalSubtitle& a, const ExternalSubtitle& b) { return a.fileName < b.fileName; });
    return found;
}

bool MediaSession::selectSubtitleTrack(int32_t id)
{
    Impl& d = *impl;
    if (currentUrl().empty())
        return false;
    if (id == d.currentSubtitleTrack.load())
        return true;

    if (id < 0) {
        // The loaded track and its key stay, so turning the same subtitle on again needs no reload.
        std::lock_guard lock(d.subtitleMutex);
        d.selection.subtitleTrack = -1;
        d.currentSubtitleTrack = -1;
        d.subtitleRenderer->flush();
        return true;
    }

    if (id < 100000) {
        // An embedded stream: the demuxer decides whether it exists.
        d.selection.subtitleTrack = id;
        return reopenAtClock(Reopen::Keep);
    }

    const auto entry = std::find_if(
        d.externalSubtitles.begin(), d.externalSubtitles.end(), [id](const ExternalSubtitle& e) { return e.id == id; });
    if (entry == d.externalSubtitles.end())
        return false;
    // The pre-scan feeds the same renderer and takes the subtitle lock for every packet: stop it first.
    joinSubtitlePrescan();
    std::string error;
    bool loaded = true;
    {
        std::lock_guard lock(d.subtitleMutex);
        const std::string key = externalKey(id);
        if (key != d.loadedSubtitleKey) {
            loaded = d.subtitleRenderer->loadExternalFile(entry->path, error);
            if (loaded) {
                d.loadedSubtitleKey = key;
            } else {
                d.loadedSubtitleKey.clear();
                d.currentSubtitleTrack = -1;
            }
        }
        if (loaded) {
            d.selection.subtitleTrack = -1;
            d.currentSubtitleTrack = id;
            d.subtitleRenderer->flush();
        }
    }
    if (!loaded)
        setLastError(std::move(error));
    return loaded;
}

bool MediaSession::addSubtitleFile(const std::filesystem::path& path, std::string& errorText)
{
    Impl& d = *impl;
    if (currentUrl().empty()) {
        errorText = "No media is open";
        return false;
    }
    const std::string pathUtf8 = path.native();
    for (const ExternalSubtitle& known : d.externalSubtitles) {
        if (known.path == pathUtf8) {
            const bool ok = selectSubtitleTrack(known.id);
            if (!ok)
                errorText = lastError();
            return ok;
        }
    }
    {
        // Validated on a renderer of its own, so a broken file never disturbs what is shown.
        internal::SubtitleRenderer probe;
        if (!probe.loadExternalFile(pathUtf8, errorText))
            return false;
    }
    int32_t id = int32_t(100000 + d.externalSubtitles.size());
    for (const ExternalSubtitle& known : d.externalSubtitles)
        id = std::max(id, known.id + 1);
    ExternalSubtitle added;
    added.id = id;
    added.path = pathUtf8;
    added.fileName = path.filename().native();
    d.externalSubtitles.push_back(std::move(added));
    {
        std::lock_guard lock(d.mediaInfoMutex);
        appendExternalTracks();
    }
    const bool ok = selectSubtitleTrack(id);
    // The file may have changed since it was checked; the caller must not take that for success.
    if (!ok)
        errorText = lastError();
    return ok;
}

void MediaSession::appendExternalTracks()
{
    Impl& d = *impl;
    auto& tracks = d.mediaInfo.tracks;
    tracks.erase(
        std::remove_if(tracks.begin(), tracks.end(), [](const TrackInfo& t) { return t.external; }), tracks.end());
    for (const ExternalSubtitle& sub : d.externalSubtitles) {
        TrackInfo track;
        track.streamIndex = sub.id;
        track.kind = 2;
        const size_t dot = sub.fileName.rfind('.');
        track.codec = dot == std::string::npos ? std::string("text") : lowerUtf8(sub.fileName.substr(dot + 1));
        track.codecLongName = "External subtitle file";
        track.language = sub.tag;
        track.title = sub.fileName;
        track.external = true;
        track.externalPath = sub.path;
        tracks.push_back(std::move(track));
    }
}

void MediaSession::autoLoadSidecar()
{
    Impl& d = *impl;
    const std::string& preferred = d.selection.preferredSubtitleLanguage;
    const ExternalSubtitle* chosen = nullptr;
    if (!preferred.empty()) {
        for (const ExternalSubtitle& sub : d.externalSubtitles) {
            if (internal::sameLanguage(sub.tag, preferred)) {
                chosen = &sub;
                break;
            }
        }
    }
    if (!chosen) {
        for (const ExternalSubtitle& sub : d.externalSubtitles) {
            if (sub.tag.empty()) {
                chosen = &sub;
                break;
            }
        }
    }
    if (!chosen)
        chosen = &d.externalSubtitles.front();

    std::string error;
    bool loaded = false;
    {
        std::lock_guard lock(d.subtitleMutex);
        loaded = d.subtitleRenderer->loadExternalFile(chosen->path, error);
        if (loaded) {
            d.loadedSubtitleKey = externalKey(chosen->id);
            d.currentSubtitleTrack = chosen->id;
            d.selection.subtitleTrack = -1;
        }
    }
    if (loaded)
        defaultLogger()->info("Subtitles: auto-loaded sidecar '{}'", chosen->fileName);
    else
        defaultLogger()->warn("Subtitles: sidecar '{}' not loaded: {}", chosen->fileName, error);
}

void MediaSession::setSubtitleDelayUs(int64_t delayUs)
{
    impl->subtitleDelayUs = delayUs;
    impl->subtitleRenderer->flush();
}

void MediaSession::setSubtitleScale(double scale)
{
    if (std::isnan(scale))
        return;
    impl->subtitleRenderer->setFontScale(std::clamp(scale, 0.3, 4.0));
}

void MediaSession::Impl::updateSubtitleCanvas(const VideoFilters& filters)
{
    const int64_t w = videoWidth.load();
    const int64_t h = videoHeight.load();
    if (w < 1 || h < 1) {
        subtitleCanvasWidth = 0;
        subtitleCanvasHeight = 0;
        return;
    }
    // The crop in coded pixels; one the filter would refuse leaves the picture whole.
    int64_t cw = w - std::max(filters.cropLeft, 0) - std::max(filters.cropRight, 0);
    int64_t ch = h - std::max(filters.cropTop, 0) - std::max(filters.cropBottom, 0);
    if (cw < 1 || ch < 1) {
        cw = w;
        ch = h;
    }
    const auto sw
        = static_cast<int32_t>(std::clamp<double>(std::round(double(cw) * sampleAspect.load()), 1, INT32_MAX));
    const auto sh = static_cast<int32_t>(ch);
    // A quarter turn of the user's and one of the container's cancel out.
    const int32_t userTurn = ((filters.rotate % 360) + 360) % 360;
    const bool turned = containerTurned.load() != (userTurn == 90 || userTurn == 270);
    subtitleCanvasWidth = turned ? sh : sw;
    subtitleCanvasHeight = turned ? sw : sh;
}

} // namespace kvr::engine
