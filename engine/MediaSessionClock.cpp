// The session's time: the playback clock, seeking, frame stepping, the end-of-stream test, frame and subtitle
// hand-out to the video sink, and the statistics line.
#include "engine/MediaSession.h"

#include "engine/Logging.h"
#include "engine/MediaSessionImpl.h"

#include <algorithm>
#include <chrono>

namespace kvr::engine {

int64_t MediaSession::Impl::steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t MediaSession::Impl::wallElapsedUs() const
{
    const int64_t started = wallStartNs.load();
    const int64_t accumulated = wallAccumUs.load();
    return started != 0 ? accumulated + (steadyNowNs() - started) / 1000 : accumulated;
}

void MediaSession::Impl::resetClock()
{
    endMarkNs = 0;
    wallAccumUs = 0;
    wallStartNs = 0;
    firstFrameShown = false;
    audioAbandonedGeneration = 0;
    heardFrames = 0;
    heardAtPlayUs = 0;
}

int64_t MediaSession::Impl::shownPositionUs(int64_t clock)
{
    const uint64_t open = generation.load();
    {
        std::lock_guard lock(frameMutex);
        if (currentFrame && currentFrameGeneration == open)
            return currentFrame->pts >= 0 ? currentFrame->pts : clock;
    }
    // The first picture may be handed out meanwhile; it is the one asked for either way.
    int64_t first = -1;
    const std::shared_ptr<internal::VideoFrameQueue> queue = currentFrameQueue();
    if (queue && queue->firstPts(first))
        return first >= 0 ? first : clock;
    return basePositionUs.load();
}

void MediaSession::Impl::watchAudio(uint64_t openGeneration, bool framesWaiting)
{
    // Play time is the wall clock, which runs whether or not there is audio.
    if (audioAbandoned() || outputSampleRate.load() <= 0 || state.load() != PlayerState::Playing)
        return;
    const int64_t played = audioFramesPlayed.load();
    const int64_t playUs = wallElapsedUs();
    if (played != heardFrames.load()) {
        heardFrames = played;
        heardAtPlayUs = playUs;
        return;
    }
    if (playUs < heardAtPlayUs.load()) {
        // The wall clock restarted at the first frame shown.
        heardAtPlayUs = playUs;
        return;
    }
    if (!framesWaiting || playUs - heardAtPlayUs.load() <= 1'000'000)
        return;
    if (audioAbandonedGeneration.exchange(openGeneration) != openGeneration && audioAbandoned())
        defaultLogger()->warn("MediaSession: no audio heard for 1 s of play; the picture follows the wall clock");
}

int64_t MediaSession::clockUs() const
{
    const Impl& d = *impl;
    const int32_t rate = d.outputSampleRate.load();
    double elapsed = 0.0;
    if (rate > 0 && !d.audioAbandoned()) {
        const int64_t played = d.audioFramesPlayed.load();
        elapsed = double(static_cast<uint64_t>(std::max<int64_t>(played, 0))) * 1'000'000.0 / rate;
    } else {
        elapsed = double(d.wallElapsedUs());
    }
    return d.basePositionUs.load() + static_cast<int64_t>(elapsed * d.speed.load());
}

int64_t MediaSession::videoClockUs() const
{
    return impl->audioDelayUs.load() + clockUs();
}

bool MediaSession::seek(int64_t positionUs)
{
    Impl& d = *impl;
    const std::string url = currentUrl();
    if (url.empty())
        return false;
    int64_t target = std::max<int64_t>(positionUs, 0);
    const int64_t duration = d.durationUs.load();
    if (duration > 0 && target > duration)
        target = duration;
    const PlayerState was = d.state.load();
    const bool ok = open_internal(std::filesystem::path(url), target, Reopen::Seek);
    if (ok) {
        play();
        if (was == PlayerState::Paused)
            pause();
    }
    return ok;
}

bool MediaSession::stepFrame(bool forward)
{
    Impl& d = *impl;
    if (currentUrl().empty() || d.videoWidth.load() < 1)
        return false;
    if (d.state.load() == PlayerState::Playing)
        pause();
    double rate = d.fps.load();
    if (rate <= 1.0 || rate > 240.0)
        rate = 25.0;
    const int64_t reference = d.shownPositionUs(clockUs());
    const auto frameUs = static_cast<int64_t>(1'000'000.0 / rate);
    int64_t target = 0;
    if (forward) {
        target = reference + frameUs / 2;
    } else {
        if (reference < 1)
            return false;
        target = reference - (frameUs / 2 + frameUs);
    }
    return seek(target < 1 ? 0 : target);
}

void MediaSession::refreshPausedFrame()
{
    Impl& d = *impl;
    if (currentUrl().empty() || d.videoWidth.load() < 1 || d.state.load() != PlayerState::Paused)
        return;
    const int64_t reference = d.shownPositionUs(clockUs());
    seek(reference);
}

bool MediaSession::reachedEnd()
{
    Impl& d = *impl;
    if (d.state.load() != PlayerState::Playing) {
        d.endMarkNs = 0;
        return false;
    }
    bool ended = d.demuxer && d.demuxer->finished.load();
    if (ended && d.audioDecoder) {
        ended = d.audioDecoder->finished.load();
        if (ended) {
            std::lock_guard lock(d.audioOutputMutex);
            ended = !d.audioOutput || d.audioOutput->ring().buffered() == 0;
        }
    }
    if (ended && d.videoDecoder) {
        ended = d.videoDecoder->finished.load();
        if (ended) {
            std::lock_guard lock(d.frameQueueMutex);
            ended = !d.frameQueue || d.frameQueue->size() == 0;
        }
    }
    if (!ended) {
        d.endMarkNs = 0;
        return false;
    }
    const int64_t now = Impl::steadyNowNs();
    const int64_t mark = d.endMarkNs.load();
    if (mark == 0) {
        d.endMarkNs = now;
        return false;
    }
    return now - mark > 300'000'000;
}

std::shared_ptr<VideoFrame> MediaSession::takeFrame(int64_t clockUs, bool force)
{
    Impl& d = *impl;
    // A reopen may replace the queue meanwhile: a frame of the previous open must not count for the next.
    const uint64_t generation = d.generation.load();
    const std::shared_ptr<internal::VideoFrameQueue> queue = d.currentFrameQueue();
    if (!queue)
        return {};
    std::shared_ptr<VideoFrame> frame = queue->takeDue(clockUs, force);
    if (d.generation.load() != generation)
        return frame;
    if (frame) {
        if (!d.firstFrameShown.exchange(true) && d.state.load() == PlayerState::Playing) {
            d.wallAccumUs = 0;
            d.wallStartNs = Impl::steadyNowNs();
        }
        std::lock_guard lock(d.frameMutex);
        d.currentFrame = frame;
        d.currentFrameGeneration = generation;
    }
    d.watchAudio(generation, !frame && queue->size() > 0);
    return frame;
}

bool MediaSession::frameDue(int64_t clockUs, bool force)
{
    Impl& d = *impl;
    const uint64_t generation = d.generation.load();
    const std::shared_ptr<internal::VideoFrameQueue> queue = d.currentFrameQueue();
    if (!queue)
        return false;
    size_t waiting = 0;
    const bool due = queue->hasDue(clockUs, force, waiting);
    // Nothing is painted while nothing is due, so a stalled audio clock must be noticed here too.
    if (!due && d.generation.load() == generation)
        d.watchAudio(generation, waiting > 0);
    return due;
}

bool MediaSession::subtitleChangeDue() const
{
    const Impl& d = *impl;
    if (d.currentSubtitleTrack.load() >= 0) {
        const int64_t timeUs = d.audioDelayUs.load() + clockUs() - d.subtitleDelayUs.load();
        return d.subtitleRenderer->changeDue(timeUs);
    }
    return !d.overlayCleared.load();
}

bool MediaSession::renderSubtitles(int32_t width, int32_t height, internal::SubtitleOverlay& overlay)
{
    Impl& d = *impl;
    if (d.currentSubtitleTrack.load() >= 0) {
        d.overlayCleared = false;
        int32_t storageWidth = d.subtitleCanvasWidth.load();
        int32_t storageHeight = d.subtitleCanvasHeight.load();
        if (storageWidth < 1 || storageHeight < 1) {
            storageWidth = width;
            storageHeight = height;
        }
        const int64_t timeUs = d.audioDelayUs.load() + clockUs() - d.subtitleDelayUs.load();
        return d.subtitleRenderer->renderInto(timeUs, width, height, storageWidth, storageHeight, overlay);
    }
    if (d.overlayCleared.load())
        return false;
    d.overlayCleared = true;
    overlay.width = width;
    overlay.height = height;
    overlay.empty = true;
    std::vector<uint8_t>().swap(overlay.pixels);
    return true;
}

void MediaSession::logStats()
{
    Impl& d = *impl;
    size_t queued = 0;
    {
        std::lock_guard lock(d.frameQueueMutex);
        if (d.frameQueue)
            queued = d.frameQueue->size();
    }
    defaultLogger()->info("stats: pkt={} v_dec={} a_dec={} a_played={} v_qsize={} clock_us={} state={}",
        d.packetsRead.load(), d.videoFramesDecoded.load(), d.audioFramesDecoded.load(), d.audioFramesPlayed.load(),
        queued, clockUs(), playerStateName(d.state.load()));
}

} // namespace kvr::engine
