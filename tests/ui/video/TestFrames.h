#pragma once

// Video frames with known colour patches for the video sink's tests, and a frame source the tests script.

#include "ui/video/VideoSink.h"

#include <QColor>
#include <QSize>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kvr::test {

// A frame of `width` × `height` (multiples of 4) split into 2 × 2 equal patches, in reading order.
struct PatchFrame {
    int format = 1; // 0 BGRA, 1 yuv420p, 2 nv12, 3 yuv420p10le, 4 p010le
    int width = 64;
    int height = 32;
    QColor patches[4];
    int colorMatrix = 1;
    bool fullRange = false;
    int64_t pts = 0;
    int rotation = 0;
    int padding = 24; // bytes added to every row, so strides differ from row widths
};

std::shared_ptr<const engine::VideoFrame> makePatchFrame(const PatchFrame& layout);

std::string formatName(int format);

// Hands out frames by the session's rule: the newest due frame, or with force the front one.
class ScriptedFrameSource : public ui::VideoSink::FrameSource {
public:
    int64_t sessionGeneration() override;
    int64_t videoClockUs() override;
    int state() override;
    bool hasVideo() override;
    std::shared_ptr<const engine::VideoFrame> takeFrame(int64_t clockUs, bool force) override;
    bool renderSubtitles(int width, int height, engine::internal::SubtitleOverlay& overlay) override;
    bool frameDue(int64_t clockUs, bool force) override;
    // True while a subtitle change is scripted as due (setSubtitleChangeDue).
    bool subtitleChangeDue() override;

    void push(std::shared_ptr<const engine::VideoFrame> frame);
    void setGeneration(int64_t generation);
    void setClockUs(int64_t clockUs);
    void setState(int state);
    void setHasVideo(bool hasVideo);
    // Called for every subtitle request; without one the overlay never changes.
    void setSubtitles(std::function<bool(int, int, engine::internal::SubtitleOverlay&)> render);
    std::vector<QSize> subtitleRequests();
    void setSubtitleChangeDue(bool due);
    // How often the sink painted: it takes frames once per paint.
    int paints();

private:
    std::mutex mutex_;
    int64_t generation_ = 1;
    int64_t clockUs_ = 0;
    int state_ = 3;
    bool hasVideo_ = true;
    std::deque<std::shared_ptr<const engine::VideoFrame>> queue_;
    std::function<bool(int, int, engine::internal::SubtitleOverlay&)> subtitles_;
    std::vector<QSize> subtitleRequests_;
    bool subtitleChangeDue_ = false;
    int paints_ = 0;
};

} // namespace kvr::test
