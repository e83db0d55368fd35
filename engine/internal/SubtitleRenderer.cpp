#include "engine/internal/SubtitleRenderer.h"

#include "engine/internal/FfmpegSupport.h"

#include "engine/internal/MemoryInput.h"
#include "engine/internal/SubtitleBlend.h"
#include "engine/internal/SubtitleDecoder.h"
#include "engine/internal/SubtitleLimits.h"
#include "engine/internal/SubtitleText.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr::engine::internal {
namespace {

constexpr const char* kDefaultFamily = "sans-serif";
constexpr int64_t kMaxFileBytes = 64 * 1024 * 1024;
constexpr int kIoBufferSize = 65536;
// Laying out and rasterising text costs libass time in proportion to the characters drawn, at every frame and
// more at the first, with the render thread (and, through the scene graph's sync, the GUI thread) waiting: what
// is drawn at once stays within a few dozen milliseconds.
constexpr size_t kMaxEventTextBytes = 64 * 1024;
constexpr size_t kMaxEventGlyphs = 4096;
constexpr int kMaxEventsShown = 256;
constexpr size_t kMaxShownGlyphs = 8192;
constexpr double kMaxScalePercent = 400;

// The script height font sizes refer to, with libass's own defaults for a script that gives none.
int scriptHeight(const ASS_Track& track)
{
    if (track.PlayResY > 0)
        return track.PlayResY;
    if (track.PlayResX > 0)
        return track.PlayResX == 1280 ? 1024 : std::max(1, track.PlayResX * 3 / 4);
    return 288;
}

// The script width positions and letter spacing refer to, with libass's own defaults for a script that gives
// none.
int scriptWidth(const ASS_Track& track)
{
    if (track.PlayResX > 0)
        return track.PlayResX;
    if (track.PlayResY > 0)
        return track.PlayResY == 1024 ? 1280
                                      : std::max(1, int(std::min<int64_t>(int64_t(track.PlayResY) * 4 / 3, INT_MAX)));
    return 384;
}

// Letter spacing is given in script units across, which stretch with the frame's width over the script's: a
// script 6 units wide and 359 high spreads every unit over a sixth of the frame. An eighth of the script's
// width either way keeps a spread line within a few frames, whatever the script's proportions.
double maxSpacing(const ASS_Track& track)
{
    return scriptWidth(track) / 8.0;
}

GlyphLimits glyphLimits(const ASS_Track& track)
{
    return GlyphLimits { double(scriptHeight(track)), kMaxScalePercent, maxSpacing(track) };
}

// Where the n-th comma-separated field of an event line starts (n = 0 is the line's start); npos when absent.
size_t fieldStart(std::string_view line, int n)
{
    size_t at = 0;
    for (int i = 0; i < n; ++i) {
        at = line.find(',', at);
        if (at == std::string_view::npos)
            return at;
        ++at;
    }
    return at;
}

// Reads at most limit + 1 bytes, so an oversized file (or an endless one) is never read whole.
bool readLimited(const std::string& path, int64_t limit, std::string& bytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st { };
    size_t expected = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        expected = static_cast<size_t>(std::min<int64_t>(st.st_size, limit + 1));
    bytes.clear();
    bytes.reserve(expected);
    const size_t cap = static_cast<size_t>(limit) + 1;
    char chunk[65536];
    bool ok = true;
    while (bytes.size() < cap) {
        const size_t want = std::min(sizeof chunk, cap - bytes.size());
        const ssize_t n = ::read(fd, chunk, want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (n == 0)
            break;
        bytes.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return ok;
}

std::string lowerExtension(const std::string& path)
{
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos)
        return {};
    std::string ext = path.substr(dot + 1);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

// Everything a memory-backed input owns, freed on every road out of loadExternalFile.
struct MemoryDemuxer {
    MemoryInput input;
    AVIOContext* io = nullptr;
    AVFormatContext* format = nullptr;
    bool opened = false;

    ~MemoryDemuxer()
    {
        if (opened)
            avformat_close_input(&format);
        else
            avformat_free_context(format);
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }
};

} // namespace

void libassLogCallback(int level, const char* format, va_list args, void*)
{
    if (level > 2 || !format)
        return;
    char text[512];
    const int n = std::vsnprintf(text, sizeof text, format, args);
    if (n < 0)
        return;
    size_t length = std::min(static_cast<size_t>(n), sizeof text - 1);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        --length;
    spdlog::warn("libass: {}", std::string_view(text, length));
}

std::string systemFontPath()
{
    // No fixed font file on Linux: libass asks fontconfig for the default family instead.
    return {};
}

SubtitleRenderer::SubtitleRenderer()
{
    seenEvents.max_load_factor(1.0f);
    seenEvents.reserve(8);
}

SubtitleRenderer::~SubtitleRenderer()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (track)
        ass_free_track(track);
    if (renderer)
        ass_renderer_done(renderer);
    if (library)
        ass_library_done(library);
    track = nullptr;
    renderer = nullptr;
    library = nullptr;
    sws_freeContext(scaler);
    scaler = nullptr;
}

void SubtitleRenderer::initLibass()
{
    if (library)
        return;
    library = ass_library_init();
    if (!library)
        return;
    ass_set_message_cb(library, libassLogCallback, nullptr);
    ass_set_extract_fonts(library, 1);
    renderer = ass_renderer_init(library);
    fontsReady = false;
    assFrameWidth = assFrameHeight = assStorageWidth = assStorageHeight = 0;
}

void SubtitleRenderer::setUpFonts()
{
    if (!renderer || fontsReady)
        return;
    const std::string fontPath = systemFontPath();
    ass_set_fonts(renderer, fontPath.empty() ? nullptr : fontPath.c_str(), kDefaultFamily, ASS_FONTPROVIDER_AUTODETECT,
        nullptr, 1);
    ass_set_font_scale(renderer, fontScale);
    fontsReady = true;
    dirty = true;
}

void SubtitleRenderer::addFonts(const std::string& name, const uint8_t* data, size_t size)
{
    std::lock_guard<std::mutex> lock(mutex);
    initLibass();
    // libass takes the size as an int.
    if (!library || !data || size == 0 || size > size_t(INT_MAX))
        return;
    ass_add_font(library, name.c_str(), reinterpret_cast<const char*>(data), static_cast<int>(size));
    fontsReady = false;
}

void SubtitleRenderer::applyFonts()
{
    std::lock_guard<std::mutex> lock(mutex);
    setUpFonts();
}

bool SubtitleRenderer::openTextTrack(const char* header, size_t headerSize)
{
    std::lock_guard<std::mutex> lock(mutex);
    initLibass();
    if (!library)
        return false;
    setUpFonts();
    if (!track) {
        track = ass_new_track(library);
        if (track && header && headerSize > 0 && headerSize <= size_t(INT_MAX))
            ass_process_codec_private(track, const_cast<char*>(header), static_cast<int>(headerSize));
        if (track) {
            clampStyles(*track);
            boundHeaderEvents();
        }
    }
    dirty = true;
    return track != nullptr;
}

void SubtitleRenderer::addTextEvent(const char* text, size_t length, int64_t startMs, int64_t durationMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!track || !text || length == 0)
        return;
    const std::string_view event(text, length);
    const size_t comma = event.find(',');
    if (comma == std::string_view::npos)
        return;
    // The event's own bounds apply before anything else sees it, the duplicate check included.
    std::string rest(event.substr(comma + 1, kMaxEventTextBytes + 1));
    size_t glyphs = 0;
    boundEventText(rest, glyphs);
    // The pre-scan and the live demuxer (again after every seek) deliver the same packets.
    std::string key = std::to_string(startMs);
    key += '|';
    key += rest;
    if (!seenEvents.insert(std::move(key)).second)
        return;
    std::string line = std::to_string(readOrder);
    line += ',';
    line += rest;
    ++readOrder;
    if (line.size() > size_t(INT_MAX))
        return;
    const int before = track->n_events;
    ass_process_chunk(track, line.data(), static_cast<int>(line.size()), startMs, durationMs);
    if (track->n_events == before + 1)
        eventGlyphs.push_back(glyphs);
    dirty = true;
}

void SubtitleRenderer::clampStyles(ASS_Track& target)
{
    const double maxFontSize = scriptHeight(target);
    for (int i = 0; i < target.n_styles; ++i) {
        ASS_Style& style = target.styles[i];
        style.FontSize = std::min(style.FontSize, maxFontSize);
        // libass keeps style scales as fractions.
        style.ScaleX = std::min(style.ScaleX, kMaxScalePercent / 100);
        style.ScaleY = std::min(style.ScaleY, kMaxScalePercent / 100);
        const double spacing = maxSpacing(target);
        // NaN too: libass would carry it into every position of the line.
        style.Spacing = std::isnan(style.Spacing) ? 0.0 : std::clamp(style.Spacing, -spacing, spacing);
    }
}

void SubtitleRenderer::boundHeaderEvents()
{
    for (int i = 0; i < track->n_events; ++i) {
        ASS_Event& e = track->events[i];
        size_t glyphs = 0;
        if (e.Text) {
            // Bounded as a decoder's line would be: the fields before the text only need to be there.
            std::string rest = std::string("0,")
                + (e.Style >= 0 && e.Style < track->n_styles && track->styles[e.Style].Name
                        ? track->styles[e.Style].Name
                        : "")
                + ",,0,0,0,,";
            const size_t textAt = rest.size();
            rest += std::string_view(e.Text).substr(0, kMaxEventTextBytes + 1);
            boundEventText(rest, glyphs);
            if (std::string_view(rest).substr(textAt) != e.Text) {
                char* bounded = strdup(rest.c_str() + textAt);
                if (bounded) {
                    std::free(e.Text);
                    e.Text = bounded;
                }
            }
        }
        eventGlyphs.push_back(glyphs);
    }
}

bool SubtitleRenderer::boundEventText(std::string& rest, size_t& glyphs)
{
    bool cut = false;
    const size_t length = utf8PrefixLength(rest, kMaxEventTextBytes);
    if (length < rest.size()) {
        rest.resize(length);
        cut = true;
    }
    glyphs = 0;
    // "Layer,Style,Name,MarginL,MarginR,MarginV,Effect,Text": only the text carries override tags.
    const size_t styleAt = fieldStart(rest, 1);
    const size_t textAt = fieldStart(rest, 7);
    if (styleAt != std::string::npos && textAt != std::string::npos) {
        const std::string_view line(rest);
        const std::string_view ownStyle = line.substr(styleAt, line.find(',', styleAt) - styleAt);
        auto styleFontSize = [&](std::string_view name) -> double {
            if (name.empty())
                name = ownStyle;
            while (!name.empty() && name.front() == '*')
                name.remove_prefix(1);
            const ASS_Style* found = nullptr;
            for (int i = 0; i < track->n_styles && !found; ++i)
                if (track->styles[i].Name && name == track->styles[i].Name)
                    found = &track->styles[i];
            if (!found && track->default_style >= 0 && track->default_style < track->n_styles)
                found = &track->styles[track->default_style];
            return found ? found->FontSize : 18.0;
        };
        std::string text = rest.substr(textAt);
        bool changed = clampGlyphSizes(text, glyphLimits(*track), styleFontSize);
        const size_t keep = glyphLimitedLength(text, kMaxEventGlyphs, glyphs);
        if (keep < text.size()) {
            text.resize(keep);
            changed = cut = true;
        }
        if (changed)
            rest.replace(textAt, std::string::npos, text);
    }
    if (cut && !cutWarned) {
        spdlog::warn("Subtitles: a text event beyond {} bytes or {} characters was cut (further cuts are not logged)",
            kMaxEventTextBytes, kMaxEventGlyphs);
        cutWarned = true;
    }
    return cut;
}

void SubtitleRenderer::hideExcessEvents(int64_t nowMs)
{
    hiddenEvents.clear();
    int shown = 0;
    size_t shownGlyphs = 0;
    for (int i = 0; i < track->n_events; ++i) {
        ASS_Event& e = track->events[i];
        // As libass decides what is due, in unsigned arithmetic so that times from the file cannot overflow.
        if (e.Start > nowMs || e.Duration <= 0 || uint64_t(nowMs) - uint64_t(e.Start) >= uint64_t(e.Duration))
            continue;
        if (shown < kMaxEventsShown) {
            // Every event came through addTextEvent, so each has its count; a track that did not is not bounded.
            const size_t glyphs = size_t(i) < eventGlyphs.size() ? eventGlyphs[size_t(i)] : 0;
            if (shownGlyphs + glyphs <= kMaxShownGlyphs) {
                ++shown;
                shownGlyphs += glyphs;
                continue;
            }
        }
        hiddenEvents.emplace_back(i, e.Duration);
        e.Duration = 0;
    }
}

void SubtitleRenderer::restoreHiddenEvents()
{
    for (const auto& [index, duration] : hiddenEvents)
        track->events[index].Duration = duration;
    hiddenEvents.clear();
}

void SubtitleRenderer::addBitmapEvent(
    int64_t startUs, int64_t endUs, int32_t canvasWidth, int32_t canvasHeight, std::vector<BitmapRect>&& rects)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (BitmapEvent& event : bitmapEvents)
        if (event.endUs == INT64_MAX && event.startUs < startUs)
            event.endUs = startUs;
    std::erase_if(bitmapEvents, [startUs](const BitmapEvent& e) { return e.startUs == startUs; });
    if (!rects.empty()) {
        const auto at = std::upper_bound(bitmapEvents.begin(), bitmapEvents.end(), startUs,
            [](int64_t t, const BitmapEvent& e) { return t < e.startUs; });
        bitmapEvents.insert(at, BitmapEvent { startUs, endUs, canvasWidth, canvasHeight, std::move(rects) });
    }
    dirty = true;
}

bool SubtitleRenderer::changeDue(int64_t timeUs)
{
    std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
    if (!lock.owns_lock())
        return false;
    // The same cases as renderInto, in the same order.
    if (bitmapEvents.empty()) {
        if (track && renderer)
            return dirty || !fontsReady || textEventsOn(timeUs / 1000) != lastTextEvents;
        return !blank;
    }
    return dirty || bitmapEventAt(timeUs) != lastEventIndex;
}

uint64_t SubtitleRenderer::textEventsOn(int64_t timeMs) const
{
    uint64_t name = 0;
    if (!track)
        return name;
    for (int i = 0; i < track->n_events; ++i) {
        const ASS_Event& e = track->events[i];
        if (e.Start <= timeMs && timeMs < e.Start + e.Duration)
            name = (name ^ uint64_t(i + 1)) * 0x100000001b3ULL;
    }
    return name;
}

int32_t SubtitleRenderer::bitmapEventAt(int64_t timeUs) const
{
    for (size_t i = bitmapEvents.size(); i-- > 0;) {
        const BitmapEvent& e = bitmapEvents[i];
        if (e.startUs <= timeUs && timeUs < e.endUs)
            return static_cast<int32_t>(i);
    }
    return -1;
}

void SubtitleRenderer::flush()
{
    std::lock_guard<std::mutex> lock(mutex);
    dirty = true;
    blank = false;
    lastEventIndex = -2;
    lastWidth = 0;
    lastHeight = 0;
}

void SubtitleRenderer::clearTrack()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (track)
        ass_free_track(track);
    track = nullptr;
    cutWarned = false;
    eventGlyphs.clear();
    bitmapEvents.clear();
    seenEvents.clear();
    readOrder = 0;
    dirty = true;
    lastEventIndex = -2;
}

void SubtitleRenderer::setFontScale(double scale)
{
    std::lock_guard<std::mutex> lock(mutex);
    fontScale = scale;
    if (renderer)
        ass_set_font_scale(renderer, fontScale);
    dirty = true;
}

std::vector<SubtitleRenderer::TextEvent> SubtitleRenderer::textEvents()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<TextEvent> events;
    if (!track)
        return events;
    for (int i = 0; i < track->n_events; ++i) {
        const ASS_Event& e = track->events[i];
        events.push_back({ e.Start, e.Duration, e.Text ? e.Text : "" });
    }
    return events;
}

std::vector<SubtitleRenderer::EventTimes> SubtitleRenderer::bitmapEventTimes()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<EventTimes> times;
    for (const BitmapEvent& e : bitmapEvents)
        times.push_back({ e.startUs, e.endUs });
    return times;
}

void SubtitleRenderer::clearLocked(int32_t width, int32_t height, SubtitleOverlay& out)
{
    out.width = width;
    out.height = height;
    out.empty = true;
    out.pixels.clear();
    blank = true;
}

bool SubtitleRenderer::renderInto(
    int64_t timeUs, int32_t width, int32_t height, int32_t storageWidth, int32_t storageHeight, SubtitleOverlay& out)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (width < 1 || height < 1)
        return false;
    bool sizeChanged = width != lastWidth || height != lastHeight;
    const size_t bytes = size_t(width) * size_t(height) * 4;

    if (bitmapEvents.empty()) {
        if (track && renderer) {
            setUpFonts();
            // Told only on a change: each call that changes a size makes libass drop its caches.
            if (width != assFrameWidth || height != assFrameHeight) {
                ass_set_frame_size(renderer, width, height);
                assFrameWidth = width;
                assFrameHeight = height;
            }
            const int32_t storeWidth = storageWidth < 2 ? 1 : storageWidth;
            const int32_t storeHeight = storageHeight < 2 ? 1 : storageHeight;
            if (storeWidth != assStorageWidth || storeHeight != assStorageHeight) {
                ass_set_storage_size(renderer, storeWidth, storeHeight);
                assStorageWidth = storeWidth;
                assStorageHeight = storeHeight;
            }
            int changed = 0;
            hideExcessEvents(timeUs / 1000);
            ASS_Image* images = ass_render_frame(renderer, track, timeUs / 1000, &changed);
            restoreHiddenEvents();
            lastTextEvents = textEventsOn(timeUs / 1000);
            if (changed == 0 && !sizeChanged && !dirty)
                return false;
            lastWidth = width;
            lastHeight = height;
            dirty = false;
            if (images) {
                out.width = width;
                out.height = height;
                out.empty = false;
                out.pixels.assign(bytes, 0);
                for (const ASS_Image* image = images; image; image = image->next)
                    blendAssImage(out, *image);
                blank = false;
                return true;
            }
            if (blank && !sizeChanged)
                return false;
            clearLocked(width, height, out);
            return true;
        }
        if (blank && !sizeChanged)
            return false;
        lastWidth = width;
        lastHeight = height;
        clearLocked(width, height, out);
        return true;
    }

    const int32_t index = bitmapEventAt(timeUs);
    if (!sizeChanged && !dirty && index == lastEventIndex)
        return false;
    lastEventIndex = index;
    lastWidth = width;
    lastHeight = height;
    dirty = false;
    if (index < 0) {
        if (blank && !sizeChanged)
            return false;
        clearLocked(width, height, out);
        return true;
    }
    const BitmapEvent& event = bitmapEvents[size_t(index)];
    out.width = width;
    out.height = height;
    out.empty = false;
    out.pixels.assign(bytes, 0);
    // Positions refer to the event's canvas, or to the video's storage size when the stream gave none; with
    // neither the overlay itself is the canvas.
    const int32_t canvasWidth = event.canvasWidth >= 1 ? event.canvasWidth : storageWidth;
    const int32_t canvasHeight = event.canvasHeight >= 1 ? event.canvasHeight : storageHeight;
    const double sx = canvasWidth > 1 ? double(width) / canvasWidth : 1.0;
    const double sy = canvasHeight > 1 ? double(height) / canvasHeight : 1.0;
    for (const BitmapRect& rect : event.rects)
        drawBitmapRect(
            rect, canvasWidth > 1 ? canvasWidth : width, canvasHeight > 1 ? canvasHeight : height, sx, sy, out);
    blank = false;
    return true;
}

void SubtitleRenderer::drawBitmapRect(
    const BitmapRect& rect, int32_t canvasWidth, int32_t canvasHeight, double sx, double sy, SubtitleOverlay& out)
{
    if (rect.width <= 0 || rect.height <= 0 || rect.width > INT_MAX / 4
        || rect.pixels.size() < size_t(rect.width) * size_t(rect.height) * 4)
        return;
    // Only the part of the rectangle on the canvas is scaled, so a crafted rectangle far larger than its canvas
    // costs no more than the canvas does.
    const int64_t left = std::max<int64_t>(rect.x, 0);
    const int64_t top = std::max<int64_t>(rect.y, 0);
    const int64_t right = std::min<int64_t>(int64_t(rect.x) + rect.width, canvasWidth);
    const int64_t bottom = std::min<int64_t>(int64_t(rect.y) + rect.height, canvasHeight);
    if (right <= left || bottom <= top)
        return;
    const int32_t srcWidth = static_cast<int32_t>(right - left);
    const int32_t srcHeight = static_cast<int32_t>(bottom - top);
    const uint8_t* src = rect.pixels.data() + ((top - rect.y) * int64_t(rect.width) + (left - rect.x)) * 4;
    const int srcStride = rect.width * 4;

    const int32_t x = static_cast<int32_t>(std::min<double>(left * sx + 0.5, INT_MAX));
    const int32_t y = static_cast<int32_t>(std::min<double>(top * sy + 0.5, INT_MAX));
    const int32_t dw = std::clamp(static_cast<int32_t>(std::min<double>(srcWidth * sx + 0.5, INT_MAX)), 1, out.width);
    const int32_t dh = std::clamp(static_cast<int32_t>(std::min<double>(srcHeight * sy + 0.5, INT_MAX)), 1, out.height);

    if (dw == srcWidth && dh == srcHeight && srcStride == srcWidth * 4) {
        blendPremultiplied(out, src, srcWidth, srcHeight, x, y);
        return;
    }
    scaler = sws_getCachedContext(
        scaler, srcWidth, srcHeight, AV_PIX_FMT_BGRA, dw, dh, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler)
        return;
    scaled.assign(size_t(dw) * size_t(dh) * 4, 0);
    const uint8_t* srcPlanes[4] = { src, nullptr, nullptr, nullptr };
    const int srcStrides[4] = { srcStride, 0, 0, 0 };
    uint8_t* dstPlanes[4] = { scaled.data(), nullptr, nullptr, nullptr };
    const int dstStrides[4] = { dw * 4, 0, 0, 0 };
    if (sws_scale(scaler, srcPlanes, srcStrides, 0, srcHeight, dstPlanes, dstStrides) <= 0)
        return;
    blendPremultiplied(out, scaled.data(), dw, dh, x, y);
}

bool SubtitleRenderer::loadExternalFile(const std::string& pathUtf8, std::string& error)
{
    std::string bytes;
    if (!readLimited(pathUtf8, kMaxFileBytes, bytes)) {
        error = "cannot read file";
        return false;
    }
    if (static_cast<int64_t>(bytes.size()) > kMaxFileBytes) {
        error = "file too large";
        return false;
    }
    std::string text = subtitleTextToUtf8(std::move(bytes));
    // FFmpeg's readers spend far longer on a line than reading it took; beyond what an event keeps, none is read.
    cutLongLines(text, kMaxTextLineBytes);

    MemoryDemuxer demuxer;
    demuxer.input.data = reinterpret_cast<const uint8_t*>(text.data());
    demuxer.input.size = static_cast<int64_t>(text.size());
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (buffer) {
        demuxer.io = avio_alloc_context(buffer, kIoBufferSize, 0, &demuxer.input, memoryRead, nullptr, memorySeek);
        if (!demuxer.io)
            av_free(buffer);
    }
    if (demuxer.io)
        demuxer.format = avformat_alloc_context();
    if (!demuxer.io || !demuxer.format) {
        error = "out of memory";
        return false;
    }
    demuxer.format->pb = demuxer.io;

    const std::string ext = lowerExtension(pathUtf8);
    const char* forced = ext == "srt"    ? "srt"
        : (ext == "ass" || ext == "ssa") ? "ass"
        : ext == "vtt"                   ? "webvtt"
                                         : nullptr;
    const AVInputFormat* inputFormat = forced ? av_find_input_format(forced) : nullptr;

    int rc = avformat_open_input(&demuxer.format, pathUtf8.c_str(), inputFormat, nullptr);
    if (rc < 0) {
        // A failed open has freed the format context but not our I/O context.
        demuxer.format = nullptr;
        error = "not a subtitle file (" + ffmpegErrorText(rc) + ")";
        return false;
    }
    demuxer.opened = true;
    avformat_find_stream_info(demuxer.format, nullptr);
    const AVStream* stream = nullptr;
    for (unsigned i = 0; i < demuxer.format->nb_streams; ++i) {
        if (demuxer.format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) {
            stream = demuxer.format->streams[i];
            break;
        }
    }
    if (!stream) {
        error = "no subtitle stream";
        return false;
    }

    clearTrack();
    SubtitleDecoder decoder;
    // These readers take every cue's end from the file.
    const std::string_view reader = demuxer.format->iformat ? demuxer.format->iformat->name : "";
    decoder.cueDurations = reader == "srt" || reader == "ass" || reader == "webvtt";
    if (!decoder.open(stream->codecpar, this, 0, 0)) {
        error = "unsupported subtitle format";
        return false;
    }
    AVPacket* packet = av_packet_alloc();
    if (!packet) {
        error = "out of memory";
        return false;
    }
    int64_t count = 0;
    while (av_read_frame(demuxer.format, packet) >= 0) {
        if (packet->stream_index == stream->index) {
            decoder.decodePacket(packet, stream->time_base);
            ++count;
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    spdlog::info("Subtitles: loaded {} events from external file", count);
    if (count == 0) {
        error = "the file has no subtitle events";
        return false;
    }
    return true;
}

} // namespace kvr::engine::internal
