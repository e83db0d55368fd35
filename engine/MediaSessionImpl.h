#pragma once

// The session's implementation record, shared by the MediaSession*.cpp sources only.

#include "engine/MediaSession.h"
#include "engine/StreamSelection.h"
#include "engine/internal/AudioDecoder.h"
#include "engine/internal/AudioOutputWasapi.h"
#include "engine/internal/Demuxer.h"
#include "engine/internal/Loudness.h"
#include "engine/internal/SubtitleDecoder.h"
#include "engine/internal/SubtitleRenderer.h"
#include "engine/internal/VideoDecoder.h"
#include "engine/internal/VideoFrameQueue.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvr::engine {

struct MediaSession::Impl {
    explicit Impl(platform::audio::EnumeratorFactory endpoints);

    // Counters of the current open.
    std::atomic<int64_t> packetsRead { 0 };
    std::atomic<int64_t> videoFramesDecoded { 0 };
    std::atomic<int64_t> audioFramesDecoded { 0 };
    // Sample frames heard; drives the clock. Signed because the audio output counts into an int64_t.
    std::atomic<int64_t> audioFramesPlayed { 0 };

    // Components. The demuxer and the decoders are replaced only by open_internal and destroyed only by teardown,
    // both on the thread that opens; other threads reach the decoders only under effectsMutex, which also guards
    // every replacement and destruction of them.
    std::unique_ptr<internal::Demuxer> demuxer;
    // What the last open of the medium learned of its streams; a reopen of it (seek, track or speed change)
    // starts from there. Only the opening thread touches it.
    std::shared_ptr<const internal::StreamInfo> streamInfo;
    std::unique_ptr<internal::AudioDecoder> audioDecoder;
    std::unique_ptr<internal::VideoDecoder> videoDecoder;
    // Read by GUI calls (volume, the visualiser's tap) while the opening thread replaces it: guarded by
    // audioOutputMutex, which is held only around short calls into the output (whose own locks it may take).
    std::unique_ptr<internal::AudioOutputWasapi> audioOutput;
    std::mutex audioOutputMutex;
    std::shared_ptr<internal::VideoFrameQueue> frameQueue;
    // Guards the frameQueue pointer; the queue's own mutex may be taken inside it.
    std::mutex frameQueueMutex;
    // The queue of the current open, kept alive for the caller even if a reopen replaces it meanwhile.
    std::shared_ptr<internal::VideoFrameQueue> currentFrameQueue()
    {
        std::lock_guard lock(frameQueueMutex);
        return frameQueue;
    }

    std::atomic<int32_t> videoWidth { 0 };
    std::atomic<int32_t> videoHeight { 0 };
    std::atomic<int32_t> displayWidth { 0 };
    std::atomic<int32_t> displayHeight { 0 };
    // The picture as shown, which subtitles are laid out on: the display size after the user's crop and quarter
    // turns. Written at open and whenever the filters change, read by the render thread.
    std::atomic<int32_t> subtitleCanvasWidth { 0 };
    std::atomic<int32_t> subtitleCanvasHeight { 0 };
    // Width over height of one coded sample, and whether the container turns the picture a quarter.
    std::atomic<double> sampleAspect { 1.0 };
    std::atomic<bool> containerTurned { false };
    std::atomic<double> fps { 0.0 };
    // 0 = no audio output.
    std::atomic<int32_t> outputSampleRate { 0 };
    std::atomic<int64_t> durationUs { 0 };
    std::atomic<int64_t> basePositionUs { 0 };
    std::atomic<float> volume { 1.0f };
    std::atomic<double> speed { 1.0 };

    // Guards url and lastError. Lock order: effectsMutex may be held while taking it; nothing is taken inside it.
    mutable std::mutex sessionMutex;
    std::string url;
    std::atomic<PlayerState> state { PlayerState::Idle };
    std::atomic<uint64_t> generation { 0 };
    // Read by the demuxer's I/O interrupt callback on the opening thread; raised by abortOpen on the GUI thread.
    std::atomic<bool> abortFlag { false };
    // Guards stateCallback only; the callback itself runs on a copy, with no lock held.
    std::mutex callbackMutex;
    std::function<void(PlayerState)> stateCallback;
    std::string lastError;

    // Guards mediaInfo; nothing is taken inside it.
    mutable std::mutex mediaInfoMutex;
    MediaInfo mediaInfo;
    // Touched only by the serialised operations that open and close.
    StreamSelection selection;
    std::vector<ExternalSubtitle> externalSubtitles;
    std::atomic<int32_t> currentAudioTrack { -1 };
    std::atomic<int32_t> currentSubtitleTrack { -1 };

    // Lives as long as the session; its own mutex is always taken inside subtitleMutex, never around it.
    std::shared_ptr<internal::SubtitleRenderer> subtitleRenderer;
    std::unique_ptr<internal::SubtitleDecoder> subtitleDecoder;
    // Guards the renderer's track changes, subtitleDecoder, loadedSubtitleKey and the subtitle packet path.
    std::mutex subtitleMutex;
    std::string loadedSubtitleKey;
    std::atomic<int64_t> subtitleDelayUs { 0 };
    // Render thread only, atomic so a reopen on another thread may read it.
    std::atomic<bool> overlayCleared { false };
    std::thread prescanThread;
    // Serialises starting and joining the pre-scan so a running one is never overwritten. Taken with no session
    // lock held; the worker never takes it.
    std::mutex prescanThreadMutex;
    std::atomic<bool> prescanAbort { false };

    // Guards currentFrame, currentFrameGeneration and coverArt; nothing is taken inside it.
    mutable std::mutex frameMutex;
    std::shared_ptr<VideoFrame> currentFrame;
    // The open currentFrame came from: a seek replaces the picture, but the previous one stays here until the
    // sink draws the next.
    uint64_t currentFrameGeneration = 0;
    std::shared_ptr<VideoFrame> coverArt;

    // Guards audioEffects, videoFilters, and the decoders while they are created, handed effects or destroyed.
    // Lock order: sessionMutex may be taken inside it (the normalisation gain reads the url), and the loudness
    // scanner's own short lock; nothing else.
    mutable std::mutex effectsMutex;
    std::shared_ptr<const AudioEffects> audioEffects;
    std::shared_ptr<const VideoFilters> videoFilters;
    std::atomic<int64_t> audioDelayUs { 0 };
    std::atomic<double> trackGainDb { std::nan("") };
    std::atomic<double> albumGainDb { std::nan("") };
    // The loudness worker and its per-address cache (loudnessCache, loudnessPendingUrl, loudnessThread and
    // loudnessAbort live inside it). Started and joined with no session lock held.
    std::unique_ptr<internal::LoudnessScanner> loudness;

    // Preferences. The two languages are written and read under sessionMutex; an open copies all of them once,
    // at its start, so a change during an open does not reach it half-way.
    std::string preferredAudioLanguage;
    std::string preferredSubtitleLanguage;
    std::atomic<bool> hardwareDecoding { true };
    std::atomic<bool> autoLoadSubtitles { true };
    std::atomic<int64_t> networkTimeoutUs { internal::Demuxer::defaultNetworkTimeoutUs };

    // Clock state (steady-clock nanoseconds and microseconds).
    std::atomic<int64_t> endMarkNs { 0 };
    std::atomic<int64_t> wallAccumUs { 0 };
    std::atomic<int64_t> wallStartNs { 0 };
    std::atomic<bool> firstFrameShown { false };
    // Audio that never arrives must not freeze the picture: once frames wait and nothing has been heard for a
    // second of play, the clock follows the wall clock for the rest of the open. Watched wherever pictures are
    // asked for (the render thread's takeFrame, the sink's repaint tick), so every field is atomic.
    // The generation of the open whose audio was given up (0: none); a stale render pass cannot give up the next.
    std::atomic<uint64_t> audioAbandonedGeneration { 0 };
    std::atomic<int64_t> heardFrames { 0 };
    std::atomic<int64_t> heardAtPlayUs { 0 };

    platform::audio::EnumeratorFactory audioEndpoints;

    // Helpers used by several facets.
    static int64_t steadyNowNs();
    int64_t wallElapsedUs() const;
    void resetClock();
    // Where the picture on screen stands: the pts of the frame this open last handed out; before it handed any
    // out (just after a seek), the open's first picture, or while that is still being decoded, the position the
    // open started at; `clock` for a picture without a pts.
    int64_t shownPositionUs(int64_t clock);
    bool audioAbandoned() const
    {
        const uint64_t given = audioAbandonedGeneration.load();
        return given != 0 && given == generation.load();
    }
    void watchAudio(uint64_t openGeneration, bool framesWaiting);
    void updateSubtitleCanvas(const VideoFilters& filters);
};

} // namespace kvr::engine
