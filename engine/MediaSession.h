#pragma once

#include "engine/AudioEffects.h"
#include "engine/MediaInfo.h"
#include "engine/VideoFilters.h"
#include "engine/VideoFrame.h"
#include "engine/internal/SubtitleOverlay.h"
#include "platform/audio/AudioEndpoint.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace kvr::engine {

enum class PlayerState : int32_t {
    Idle = 0,
    Opening = 1,
    Prepared = 2,
    Playing = 3,
    Paused = 4,
    // Only ever the teardown state; it never means that the medium ran out.
    Ending = 5,
    Closed = 6,
    Error = 7,
};

// The log spelling of a state; "?" for a value outside the enumeration.
const char* playerStateName(PlayerState state);

// Plays one medium at a time: owns the demuxer, the decoders, the audio output, the subtitle renderer and the
// effect settings, runs the player state machine and keeps the playback clock.
//
// Threads: open and play run on the caller's open thread; the other operations on the GUI thread; takeFrame,
// renderSubtitles, videoClockUs and generation on the render thread. The operations that build or take apart the
// medium (open, play, pause, resume, seek, stepFrame, refreshPausedFrame, setSpeed, close, reachedEnd) must not
// overlap one another: the caller serialises them (the bridge's engine mutex). Everything else may be called from
// any thread at any time. abortOpen may be called at any time; the abort it raises stays raised until the caller
// clears it with clearAbort before its next open.
class MediaSession {
public:
    enum class Reopen : int32_t {
        Fresh = 0,
        Seek = 1,
        Keep = 2,
    };

    MediaSession();
    // Plays audio on the endpoints `audioEndpoints` makes (tests give a virtual device).
    explicit MediaSession(platform::audio::EnumeratorFactory audioEndpoints);
    ~MediaSession();
    MediaSession(const MediaSession&) = delete;
    MediaSession& operator=(const MediaSession&) = delete;

    // Lifecycle and state machine.
    bool open(const std::filesystem::path& path, int64_t startUs);
    void play();
    void pause();
    void resume();
    void close();
    // Makes a pending or later open give up at once (also a blocked network read), until clearAbort.
    void abortOpen();
    // Call on the thread that calls abortOpen, before starting an open on another thread.
    void clearAbort();
    PlayerState state() const;
    uint64_t generation() const;
    std::string lastError() const;
    std::string currentUrl() const;
    // Called synchronously on the thread that changed the state, with no session lock held.
    void setStateCallback(std::function<void(PlayerState)> callback);

    // Clock, seeking, frame stepping, end of stream, frame and subtitle hand-out.
    int64_t clockUs() const;
    int64_t videoClockUs() const;
    bool seek(int64_t positionUs);
    bool stepFrame(bool forward);
    void refreshPausedFrame();
    bool reachedEnd();
    std::shared_ptr<VideoFrame> takeFrame(int64_t clockUs, bool force);
    bool renderSubtitles(int32_t width, int32_t height, internal::SubtitleOverlay& overlay);
    void logStats();

    // Loudness normalisation.
    void startLoudnessScan();
    void joinLoudnessWorker();
    double normalizationGainDb(const AudioEffects& effects) const;

    // Output controls and settings.
    void setVolume(float volume);
    bool setSpeed(double speed);
    void setAudioEffects(const AudioEffects& effects);
    void setVideoFilters(const VideoFilters& filters);

    // Subtitle pre-scan of an embedded stream.
    void startSubtitlePrescan(std::string url, int32_t streamIndex);
    void joinSubtitlePrescan();

    // Accessors.
    int64_t durationUs() const;
    int32_t videoWidth() const;
    int32_t videoHeight() const;
    int32_t displayWidth() const;
    int32_t displayHeight() const;
    double videoFps() const;
    float volume() const;
    double speed() const;
    int64_t audioDelayUs() const;
    int64_t subtitleDelayUs() const;
    int32_t currentAudioTrack() const;
    int32_t currentSubtitleTrack() const;
    double trackGainDb() const;
    double albumGainDb() const;
    MediaInfo mediaInfo() const;
    AudioEffects audioEffects() const;
    VideoFilters videoFilters() const;
    std::shared_ptr<VideoFrame> currentFrame() const;
    std::shared_ptr<VideoFrame> coverArt() const;

    struct Impl;

private:
    bool open_internal(const std::filesystem::path& path, int64_t startUs, Reopen kind);
    void setState(PlayerState state);
    void teardown();
    void setLastError(std::string text);
    void setCurrentUrl(std::string url);
    void setUpSubtitles(Reopen kind, const std::string& url);
    // Hands a finished loudness measurement to the audio decoder when `url` is still the medium playing.
    void applyMeasuredLoudness(const std::string& url);

    std::unique_ptr<Impl> impl;
};

} // namespace kvr::engine
