#pragma once

#include "engine/AudioEffects.h"
#include "engine/MediaInfo.h"
#include "engine/VideoFilters.h"
#include "engine/VideoFrame.h"
#include "engine/internal/SubtitleOverlay.h"
#include "platform/audio/AudioEndpoint.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kvr::engine {

// One subtitle file known for the open media. id is -1 while only found, 100000 or more once it belongs to the
// session (stream indices stay below). tag: for a sidecar whose stem continues the media stem with a dot, the
// text after that dot up to the next one, as written (usually a language); empty otherwise.
struct ExternalSubtitle {
    int32_t id = -1;
    std::string path;
    std::string fileName;
    std::string tag;
};

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
// clears it with clearAbort before its next open or reopen (seek, speed and track changes reopen too), on the
// thread that aborts: a reopen running on another thread must not clear an abort raised meanwhile.
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
    // Cheap questions for a repaint tick (any thread): would takeFrame hand out a picture now, would
    // renderSubtitles change the overlay now. Neither takes nor draws anything, nor allocates.
    bool frameDue(int64_t clockUs, bool force);
    bool subtitleChangeDue() const;
    // The pts of the next picture takeFrame would hand out; −1 when none is decoded yet.
    int64_t nextFramePtsUs() const;
    void logStats();

    // Loudness normalisation.
    void startLoudnessScan();
    void joinLoudnessWorker();
    double normalizationGainDb(const AudioEffects& effects) const;

    // Tracks and subtitles. Audio tracks are named by stream index; subtitles by stream index, by an external
    // id (100000 and up) or -1 for none. Track and subtitle-stream changes reopen at the clock; an external
    // file is loaded without a reopen.
    bool selectAudioTrack(int32_t streamIndex);
    bool selectSubtitleTrack(int32_t id);
    bool reopenAtClock(Reopen kind);
    bool addSubtitleFile(const std::filesystem::path& path, std::string& errorText);
    // Subtitle files beside a local medium (Movie.srt, Movie.en.srt, ...), sorted by file name; ids are -1.
    static std::vector<ExternalSubtitle> findSidecarSubtitles(const std::filesystem::path& mediaPath);

    // Output controls and settings.
    void setVolume(float volume);
    bool setSpeed(double speed);
    // Audio delay: clamped to +-3 s.
    void setClockOffsetUs(int64_t offsetUs);
    void setSubtitleDelayUs(int64_t delayUs);
    // Clamped to 0.3..4; kept by the renderer, not the session.
    void setSubtitleScale(double scale);
    void setAudioEffects(const AudioEffects& effects);
    void setVideoFilters(const VideoFilters& filters);
    // Preferences, read by the next open (languages and sidecars: the next fresh open).
    void setHardwareDecoding(bool enabled);
    void setAutoLoadSubtitles(bool enabled);
    void setPreferredLanguages(std::string audio, std::string subtitle);
    // How long a network read or connect may stall before the open or the playback gives up (next opens).
    void setNetworkTimeoutUs(int64_t timeoutUs);

    // Black borders of the current open's picture (openFrame); false without one or without borders to measure.
    bool detectBlackBars(int32_t& left, int32_t& top, int32_t& right, int32_t& bottom) const;
    // The newest `count` output frames (left, right pairs: `buffer` holds 2 x count floats); 0 without output.
    size_t recentAudioSamples(float* buffer, size_t count) const;

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
    // The picture of the current open: the one last shown, or, while a seek's first picture has not been shown
    // yet, that picture, waiting up to half a second for it to be decoded. Empty while the open has none.
    std::shared_ptr<VideoFrame> openFrame() const;
    std::shared_ptr<VideoFrame> coverArt() const;
    // Diagnostics of the running decoders; empty / 0 / false without the decoder.
    bool usesHardwareDecoding() const;
    std::string audioFilterDescription() const;
    std::string videoFilterDescription() const;
    double videoFilterMs() const;
    double videoTransferMs() const;

    struct Impl;

private:
    bool open_internal(const std::filesystem::path& path, int64_t startUs, Reopen kind);
    // The steps of an open, in order; those returning false have set the error and the Error state.
    void resetForOpen(int64_t startUs);
    void clearForFreshOpen(const std::string& audioLanguage, const std::string& subtitleLanguage);
    bool openDemuxer(const std::filesystem::path& path, int64_t startUs, Reopen kind);
    // Fonts, sidecar subtitles and the cover picture of a freshly opened medium.
    void takeMediumExtras(const std::filesystem::path& path, const std::string& url, bool autoLoadSubtitles);
    void publishMediaInfo();
    bool openAudio();
    // Drops the audio stream; false (with the reason as the error) when there is no video to play on.
    bool refuseAudio(std::string why);
    bool openVideo(bool hardwareDecoding);
    void setState(PlayerState state);
    void teardown();
    void setLastError(std::string text);
    void setCurrentUrl(std::string url);
    void setUpSubtitles(Reopen kind, const std::string& url);
    // A fresh open without an embedded subtitle stream shows one sidecar.
    void autoLoadSidecar();
    // Replaces the external entries of mediaInfo; the caller holds mediaInfoMutex.
    void appendExternalTracks();
    // Hands a finished loudness measurement to the audio decoder when `url` is still the medium playing.
    void applyMeasuredLoudness(const std::string& url);

    std::unique_ptr<Impl> impl;
};

} // namespace kvr::engine
