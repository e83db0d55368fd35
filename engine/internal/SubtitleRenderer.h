#pragma once

#include "engine/internal/SubtitleOverlay.h"

#include <ass/ass.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

struct SwsContext;

namespace kvr::engine::internal {

// One picture of a bitmap subtitle on its canvas: premultiplied BGRA, rows width × 4 bytes apart.
struct BitmapRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;
};

// One bitmap subtitle; endUs INT64_MAX means shown until the next one starts.
struct BitmapEvent {
    int64_t startUs = 0;
    int64_t endUs = 0;
    int32_t canvasWidth = 0;
    int32_t canvasHeight = 0;
    std::vector<BitmapRect> rects;
};

// Holds the subtitle events of one track (libass for text, a sorted list for bitmaps) and draws the overlay due
// at a time. Every operation takes the renderer's own mutex, so the read thread, the pre-scan, the GUI thread and
// the render thread may share one renderer. Lock order: the session's subtitle lock, then this mutex; nothing
// in here ever calls out to the session.
class SubtitleRenderer {
public:
    // What the libass track holds of one text event (for inspection).
    struct TextEvent {
        int64_t startMs = 0;
        int64_t durationMs = 0;
        std::string text;
    };
    struct EventTimes {
        int64_t startUs = 0;
        int64_t endUs = 0;
    };

    SubtitleRenderer();
    ~SubtitleRenderer();
    SubtitleRenderer(const SubtitleRenderer&) = delete;
    SubtitleRenderer& operator=(const SubtitleRenderer&) = delete;

    // An embedded font of the media. Fonts are only collected here; the font set-up that makes them known to
    // libass runs once, at applyFonts or at the first text use.
    void addFonts(const std::string& name, const uint8_t* data, size_t size);
    // Runs libass's font set-up now when it has not run since the last font was added. With fontconfig this can
    // be slow; the session calls it once after all of an open's fonts are added, off the render thread.
    void applyFonts();

    void addTextEvent(const char* text, size_t length, int64_t startMs, int64_t durationMs);
    void addBitmapEvent(
        int64_t startUs, int64_t endUs, int32_t canvasWidth, int32_t canvasHeight, std::vector<BitmapRect>&& rects);

    // Fills `out` for `timeUs` at width × height; true when `out` was written (drawn or cleared), false when
    // what the caller already shows is still right.
    bool renderInto(int64_t timeUs, int32_t width, int32_t height, int32_t storageWidth, int32_t storageHeight,
        SubtitleOverlay& out);

    // Whether renderInto at `timeUs`, at the size of the last call, would write the overlay: a cheap look at which
    // events are on at that time, for a repaint tick. A text event's own animation counts only when it starts or ends.
    // False while another thread holds the renderer: that thread is drawing or feeding it.
    bool changeDue(int64_t timeUs);

    void flush();
    void clearTrack();
    void setFontScale(double scale);

    // Replaces the content with the events of a subtitle file; on false `error` says why.
    bool loadExternalFile(const std::string& pathUtf8, std::string& error);

    // For SubtitleDecoder::open of a text codec: makes the track (with the decoder's script header) unless one
    // exists. False when libass is not available.
    bool openTextTrack(const char* header, size_t headerSize);

    std::vector<TextEvent> textEvents();
    std::vector<EventTimes> bitmapEventTimes();

private:
    void initLibass();
    // Keeps every style of a track within the glyph limits.
    static void clampStyles(ASS_Track& target);
    // Events a script header brought with it (Matroska's CodecPrivate may hold some) get the bounds of every other.
    void boundHeaderEvents();
    // The event's text as libass may see it: cut to the per-event limits, glyph sizes clamped; `glyphs` is the
    // number of characters it draws.
    bool boundEventText(std::string& rest, size_t& glyphs);
    // Before a frame: takes the events beyond what may be shown at once out of view (their duration set to 0)
    // and remembers them; afterwards they are put back.
    void hideExcessEvents(int64_t nowMs);
    void restoreHiddenEvents();
    void setUpFonts();
    void clearLocked(int32_t width, int32_t height, SubtitleOverlay& out);
    // Names the set of text events on at `timeMs`; equal sets give equal values.
    uint64_t textEventsOn(int64_t timeMs) const;
    int32_t bitmapEventAt(int64_t timeUs) const;
    void drawBitmapRect(
        const BitmapRect& rect, int32_t canvasWidth, int32_t canvasHeight, double sx, double sy, SubtitleOverlay& out);

    std::mutex mutex;
    ASS_Library* library = nullptr;
    ASS_Renderer* renderer = nullptr;
    ASS_Track* track = nullptr;
    std::vector<BitmapEvent> bitmapEvents;
    std::unordered_set<std::string> seenEvents;
    int32_t readOrder = 0;
    double fontScale = 1.0;
    int32_t lastWidth = 0;
    int32_t lastHeight = 0;
    int32_t lastEventIndex = -2;
    // textEventsOn at the last text render; the initial value names no set.
    uint64_t lastTextEvents = ~uint64_t(0);
    bool dirty = true;
    bool blank = true;
    // libass's font set-up has run since the last font was added.
    bool fontsReady = false;
    // What libass was last told of the sizes; told again only when they change, so its caches survive.
    int32_t assFrameWidth = 0;
    int32_t assFrameHeight = 0;
    int32_t assStorageWidth = 0;
    int32_t assStorageHeight = 0;
    // The one warning about cut events has been logged for this track.
    bool cutWarned = false;
    // Characters each event of the track draws, by its index in the track.
    std::vector<size_t> eventGlyphs;
    // Events hidden for the current frame: index in the track and their own duration.
    std::vector<std::pair<int, long long>> hiddenEvents;
    // Reused between overlays so a redraw of bitmap subtitles allocates nothing once warmed up.
    SwsContext* scaler = nullptr;
    std::vector<uint8_t> scaled;
};

// libass message callback: warnings and worse go to the log as "libass: {}".
void libassLogCallback(int level, const char* format, va_list args, void* data);

// The default font file for libass; empty here, so fontconfig's default sans-serif is used.
std::string systemFontPath();

} // namespace kvr::engine::internal
