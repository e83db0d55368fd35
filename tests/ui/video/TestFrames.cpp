#include "tests/ui/video/TestFrames.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kvr::test {

namespace {

struct Yuv {
    double y, u, v;
};

// The textbook forward conversion, written apart from the player's own matrix so the tests compare two
// independent derivations. Returns code values at the given bit depth.
Yuv toYuv(const QColor& colour, int colorMatrix, bool fullRange, int bits)
{
    double kr = 0.2126, kb = 0.0722;
    if (colorMatrix == 0) {
        kr = 0.299;
        kb = 0.114;
    } else if (colorMatrix == 2) {
        kr = 0.2627;
        kb = 0.0593;
    }
    const double r = colour.redF(), g = colour.greenF(), b = colour.blueF();
    const double luma = kr * r + (1 - kr - kb) * g + kb * b;
    const double pb = (b - luma) / (2 * (1 - kb));
    const double pr = (r - luma) / (2 * (1 - kr));
    const double unit = double(1 << (bits - 8));
    const double max = double((1 << bits) - 1);
    Yuv out;
    if (fullRange) {
        out = { luma * max, 128 * unit + pb * max, 128 * unit + pr * max };
    } else {
        out = { (16 + 219 * luma) * unit, (128 + 224 * pb) * unit, (128 + 224 * pr) * unit };
    }
    auto code = [max](double v) { return std::clamp(std::round(v), 0.0, max); };
    return { code(out.y), code(out.u), code(out.v) };
}

struct OwnedPlanes {
    std::vector<uint8_t> bytes[3];
};

void put16(uint8_t* at, unsigned value)
{
    at[0] = uint8_t(value & 0xff);
    at[1] = uint8_t(value >> 8);
}

} // namespace

std::string formatName(int format)
{
    static const char* names[] = { "bgra", "yuv420p", "nv12", "yuv420p10le", "p010le" };
    return format >= 0 && format <= 4 ? names[format] : "unknown";
}

std::shared_ptr<const engine::VideoFrame> makePatchFrame(const PatchFrame& layout)
{
    auto frame = std::make_shared<engine::VideoFrame>();
    const int w = layout.width;
    const int h = layout.height;
    frame->width = w;
    frame->height = h;
    frame->pts = layout.pts;
    frame->format = layout.format;
    frame->colorMatrix = layout.colorMatrix;
    frame->fullRange = layout.fullRange;
    frame->rotation = layout.rotation;
    auto patchAt = [&](int x, int y) { return layout.patches[(y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0)]; };

    if (layout.format == 0) {
        frame->bytesStride = w * 4 + layout.padding;
        frame->bytes.assign(size_t(frame->bytesStride) * h, 0);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const QColor c = patchAt(x, y);
                uint8_t* p = frame->bytes.data() + size_t(y) * frame->bytesStride + x * 4;
                p[0] = uint8_t(c.blue());
                p[1] = uint8_t(c.green());
                p[2] = uint8_t(c.red());
                p[3] = 255;
            }
        }
        frame->planes[0] = frame->bytes.data();
        frame->strides[0] = frame->bytesStride;
        return frame;
    }

    const bool wide = layout.format >= 3;
    const bool semiPlanar = layout.format == 2 || layout.format == 4;
    const int bits = wide ? 10 : 8;
    const int bytes = wide ? 2 : 1;
    const int cw = (w + 1) / 2;
    const int ch = (h + 1) / 2;
    auto owned = std::make_shared<OwnedPlanes>();
    const int planeCount = semiPlanar ? 2 : 3;
    for (int i = 0; i < planeCount; ++i) {
        const int rowBytes = (i == 0 ? w : (semiPlanar ? 2 * cw : cw)) * bytes;
        frame->strides[i] = rowBytes + layout.padding;
        owned->bytes[i].assign(size_t(frame->strides[i]) * (i == 0 ? h : ch), 0);
        frame->planes[i] = owned->bytes[i].data();
    }
    // p010le keeps its 10 bits at the top of each word.
    const int shift = layout.format == 4 ? 6 : 0;
    auto store = [&](int plane, int x, int y, double value) {
        uint8_t* at = owned->bytes[plane].data() + size_t(y) * frame->strides[plane] + size_t(x) * bytes;
        if (wide)
            put16(at, unsigned(value) << shift);
        else
            *at = uint8_t(value);
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            store(0, x, y, toYuv(patchAt(x, y), layout.colorMatrix, layout.fullRange, bits).y);
    for (int y = 0; y < ch; ++y) {
        for (int x = 0; x < cw; ++x) {
            const Yuv c = toYuv(patchAt(x * 2, y * 2), layout.colorMatrix, layout.fullRange, bits);
            if (semiPlanar) {
                store(1, x * 2, y, c.u);
                store(1, x * 2 + 1, y, c.v);
            } else {
                store(1, x, y, c.u);
                store(2, x, y, c.v);
            }
        }
    }
    frame->owner = owned;
    return frame;
}

int64_t ScriptedFrameSource::sessionGeneration()
{
    std::lock_guard lock(mutex_);
    return generation_;
}

int64_t ScriptedFrameSource::videoClockUs()
{
    std::lock_guard lock(mutex_);
    return clockUs_;
}

int ScriptedFrameSource::state()
{
    std::lock_guard lock(mutex_);
    return state_;
}

bool ScriptedFrameSource::hasVideo()
{
    std::lock_guard lock(mutex_);
    return hasVideo_;
}

std::shared_ptr<const engine::VideoFrame> ScriptedFrameSource::takeFrame(int64_t clockUs, bool force)
{
    std::lock_guard lock(mutex_);
    ++paints_;
    std::shared_ptr<const engine::VideoFrame> due;
    while (!queue_.empty() && queue_.front()->pts <= clockUs) {
        due = queue_.front();
        queue_.pop_front();
    }
    if (!due && force && !queue_.empty()) {
        due = queue_.front();
        queue_.pop_front();
    }
    return due;
}

bool ScriptedFrameSource::renderSubtitles(int width, int height, engine::internal::SubtitleOverlay& overlay)
{
    std::lock_guard lock(mutex_);
    subtitleRequests_.emplace_back(width, height);
    return subtitles_ ? subtitles_(width, height, overlay) : false;
}

bool ScriptedFrameSource::frameDue(int64_t clockUs, bool force)
{
    std::lock_guard lock(mutex_);
    return !queue_.empty() && (force || queue_.front()->pts <= clockUs);
}

bool ScriptedFrameSource::subtitleChangeDue()
{
    std::lock_guard lock(mutex_);
    return subtitleChangeDue_;
}

int ScriptedFrameSource::paints()
{
    std::lock_guard lock(mutex_);
    return paints_;
}

void ScriptedFrameSource::setSubtitleChangeDue(bool due)
{
    std::lock_guard lock(mutex_);
    subtitleChangeDue_ = due;
}

void ScriptedFrameSource::push(std::shared_ptr<const engine::VideoFrame> frame)
{
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(frame));
}

void ScriptedFrameSource::setGeneration(int64_t generation)
{
    std::lock_guard lock(mutex_);
    generation_ = generation;
}

void ScriptedFrameSource::setClockUs(int64_t clockUs)
{
    std::lock_guard lock(mutex_);
    clockUs_ = clockUs;
}

void ScriptedFrameSource::setState(int state)
{
    std::lock_guard lock(mutex_);
    state_ = state;
}

void ScriptedFrameSource::setHasVideo(bool hasVideo)
{
    std::lock_guard lock(mutex_);
    hasVideo_ = hasVideo;
}

void ScriptedFrameSource::setSubtitles(std::function<bool(int, int, engine::internal::SubtitleOverlay&)> render)
{
    std::lock_guard lock(mutex_);
    subtitles_ = std::move(render);
}

std::vector<QSize> ScriptedFrameSource::subtitleRequests()
{
    std::lock_guard lock(mutex_);
    return subtitleRequests_;
}

} // namespace kvr::test
