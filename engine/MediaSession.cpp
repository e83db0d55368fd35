// The session's lifecycle: construction, the state machine, opening, play, pause, resume, teardown and close.
#include "engine/MediaSession.h"

#include "engine/Logging.h"
#include "engine/MediaSessionImpl.h"
#include "engine/internal/CoverArt.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

namespace kvr::engine {

namespace {

// How long the sound of a video waits at most for its first picture.
constexpr std::chrono::milliseconds firstPictureWait { 1000 };

} // namespace

const char* playerStateName(PlayerState state)
{
    switch (state) {
    case PlayerState::Idle:
        return "Idle";
    case PlayerState::Opening:
        return "Opening";
    case PlayerState::Prepared:
        return "Prepared";
    case PlayerState::Playing:
        return "Playing";
    case PlayerState::Paused:
        return "Paused";
    case PlayerState::Ending:
        return "Ending";
    case PlayerState::Closed:
        return "Closed";
    case PlayerState::Error:
        return "Error";
    }
    return "?";
}

MediaSession::Impl::Impl(platform::audio::EnumeratorFactory endpoints)
    : audioEndpoints(std::move(endpoints))
{
    audioEffects = std::make_shared<const AudioEffects>();
    videoFilters = std::make_shared<const VideoFilters>();
    subtitleRenderer = std::make_shared<internal::SubtitleRenderer>();
}

MediaSession::MediaSession()
    : MediaSession(platform::audio::EnumeratorFactory {})
{
}

MediaSession::MediaSession(platform::audio::EnumeratorFactory audioEndpoints)
    : impl(std::make_unique<Impl>(std::move(audioEndpoints)))
{
    impl->loudness = std::make_unique<internal::LoudnessScanner>(
        [this](const std::string& url, const internal::LoudnessResult&) { applyMeasuredLoudness(url); });
    init_logging();
}

MediaSession::~MediaSession()
{
    try {
        close();
    } catch (...) {
        // Nothing may leave a destructor; the components below clean up after themselves.
    }
}

bool MediaSession::open(const std::filesystem::path& path, int64_t startUs)
{
    return open_internal(path, std::max<int64_t>(startUs, 0), Reopen::Fresh);
}

bool MediaSession::open_internal(const std::filesystem::path& path, int64_t startUs, Reopen kind)
{
    Impl& d = *impl;
    teardown();

    // The abort flag is not cleared here: an abort raised since the caller cleared it belongs to this open.
    d.generation.fetch_add(1);
    setState(PlayerState::Opening);
    resetForOpen(startUs);

    // Paths are bytes here; a name that is not valid UTF-8 passes unchanged.
    const std::string url = path.native();
    setCurrentUrl(url);

    // Preferences may change on the GUI thread during the open: use one copy of them throughout.
    std::string audioLanguage;
    std::string subtitleLanguage;
    {
        std::lock_guard lock(d.sessionMutex);
        audioLanguage = d.preferredAudioLanguage;
        subtitleLanguage = d.preferredSubtitleLanguage;
    }
    const bool hardwareDecoding = d.hardwareDecoding.load();
    const bool autoLoadSubtitles = d.autoLoadSubtitles.load();

    if (kind == Reopen::Fresh)
        clearForFreshOpen(audioLanguage, subtitleLanguage);
    if (!openDemuxer(path, startUs, kind))
        return false;
    if (kind == Reopen::Fresh)
        takeMediumExtras(path, url, autoLoadSubtitles);
    publishMediaInfo();
    setUpSubtitles(kind, url);
    if (!openAudio() || !openVideo(hardwareDecoding))
        return false;

    if (startUs > 0) {
        if (d.audioDecoder)
            d.audioDecoder->seekTargetUs = startUs;
        if (d.videoDecoder)
            d.videoDecoder->seekTargetUs = startUs;
    }

    setState(PlayerState::Prepared);
    startLoudnessScan();
    return true;
}

void MediaSession::resetForOpen(int64_t startUs)
{
    Impl& d = *impl;
    d.packetsRead = 0;
    d.videoFramesDecoded = 0;
    d.audioFramesDecoded = 0;
    d.audioFramesPlayed = 0;
    setLastError({});
    d.videoWidth = 0;
    d.videoHeight = 0;
    d.displayWidth = 0;
    d.displayHeight = 0;
    d.subtitleCanvasWidth = 0;
    d.subtitleCanvasHeight = 0;
    d.fps = 0.0;
    d.outputSampleRate = 0;
    d.durationUs = 0;
    d.basePositionUs = startUs;
    d.resetClock();
}

void MediaSession::clearForFreshOpen(const std::string& audioLanguage, const std::string& subtitleLanguage)
{
    Impl& d = *impl;
    joinSubtitlePrescan();
    {
        std::lock_guard lock(d.subtitleMutex);
        d.subtitleRenderer->clearTrack();
        d.loadedSubtitleKey.clear();
        d.currentSubtitleTrack = -1;
    }
    d.selection = StreamSelection {};
    d.selection.preferredAudioLanguage = audioLanguage;
    d.selection.preferredSubtitleLanguage = subtitleLanguage;
    d.externalSubtitles.clear();
    d.subtitleDelayUs = 0;
    std::lock_guard lock(d.frameMutex);
    d.coverArt.reset();
    d.currentFrame.reset();
}

bool MediaSession::openDemuxer(const std::filesystem::path& path, int64_t startUs, Reopen kind)
{
    Impl& d = *impl;
    d.demuxer = std::make_unique<internal::Demuxer>();
    d.demuxer->abortFlag = &d.abortFlag;
    d.demuxer->networkTimeoutUs = d.networkTimeoutUs.load();
    internal::Demuxer& demuxer = *d.demuxer;
    const bool opened = demuxer.open(path, startUs, d.selection, kind == Reopen::Fresh ? nullptr : d.streamInfo);
    d.streamInfo = demuxer.streamInfo;
    if (!opened) {
        setLastError(demuxer.lastError);
        setState(PlayerState::Error);
        return false;
    }

    d.durationUs = demuxer.durationUs();
    if (demuxer.audio.index < 0 && demuxer.video.index < 0) {
        setLastError("No audio or video stream");
        setState(PlayerState::Error);
        return false;
    }
    d.selection.audioTrack = demuxer.audio.index;
    d.currentAudioTrack = demuxer.audio.index;
    return true;
}

void MediaSession::takeMediumExtras(const std::filesystem::path& path, const std::string& url, bool autoLoadSubtitles)
{
    Impl& d = *impl;
    internal::Demuxer& demuxer = *d.demuxer;
    for (const auto& font : demuxer.fonts)
        d.subtitleRenderer->addFonts(font.filename, font.data.data(), font.data.size());
    if (!demuxer.fonts.empty())
        d.subtitleRenderer->applyFonts();
    if (autoLoadSubtitles && !internal::isNetworkAddress(url)) {
        int32_t id = 100000;
        for (ExternalSubtitle& sidecar : findSidecarSubtitles(path)) {
            sidecar.id = id++;
            d.externalSubtitles.push_back(std::move(sidecar));
        }
    }
    if (demuxer.video.index < 0 && demuxer.coverPicture()) {
        auto picture = internal::decodeCoverArt(demuxer.coverCodecParameters(), demuxer.coverPicture());
        std::lock_guard lock(d.frameMutex);
        d.coverArt = std::move(picture);
    }
}

void MediaSession::publishMediaInfo()
{
    Impl& d = *impl;
    std::lock_guard lock(d.mediaInfoMutex);
    d.mediaInfo = d.demuxer->mediaInfo;
    appendExternalTracks();
    d.trackGainDb = internal::parseGainDb(d.mediaInfo, "REPLAYGAIN_TRACK_GAIN");
    d.albumGainDb = internal::parseGainDb(d.mediaInfo, "REPLAYGAIN_ALBUM_GAIN");
}

// A stream whose format is not played (a damaged header claiming 1 Hz, say) is dropped and the picture plays
// on without it; with nothing else to play the open fails with the reason. The reason is taken by value:
// it may be the decoder's own text, and the decoder is destroyed below.
bool MediaSession::refuseAudio(std::string why)
{
    Impl& d = *impl;
    internal::Demuxer& demuxer = *d.demuxer;
    defaultLogger()->warn("MediaSession: audio track {} dropped: {}", demuxer.audio.index, why);
    {
        std::lock_guard lock(d.effectsMutex);
        d.audioDecoder.reset();
    }
    std::unique_ptr<internal::AudioOutputWasapi> output;
    {
        std::lock_guard lock(d.audioOutputMutex);
        output = std::move(d.audioOutput);
    }
    if (output)
        output->stop();
    output.reset();
    d.outputSampleRate = 0;
    d.currentAudioTrack = -1;
    demuxer.dropAudio();
    if (demuxer.video.index >= 0)
        return true;
    setLastError("Audio not played: " + why);
    setState(PlayerState::Error);
    return false;
}

bool MediaSession::openAudio()
{
    Impl& d = *impl;
    internal::Demuxer& demuxer = *d.demuxer;
    if (demuxer.audio.index >= 0) {
        const AVCodecParameters* params = demuxer.audio.codecParameters;
        const std::string why = internal::AudioDecoder::refusalOf(params->sample_rate, params->ch_layout.nb_channels);
        if (!why.empty() && !refuseAudio(why))
            return false;
    }
    if (demuxer.audio.index < 0)
        return true;
    auto output = d.audioEndpoints ? std::make_unique<internal::AudioOutputWasapi>(d.audioEndpoints)
                                   : std::make_unique<internal::AudioOutputWasapi>();
    internal::AudioOutputWasapi* out = output.get();
    {
        std::lock_guard lock(d.audioOutputMutex);
        d.audioOutput = std::move(output);
    }
    if (!out->start()) {
        setLastError("AudioOutput: " + out->lastError());
        setState(PlayerState::Error);
        return false;
    }
    d.outputSampleRate = out->sampleRate();
    internal::AudioDecoder* decoder = nullptr;
    {
        std::lock_guard lock(d.effectsMutex);
        d.audioDecoder = std::make_unique<internal::AudioDecoder>();
        decoder = d.audioDecoder.get();
        decoder->speed = d.speed.load();
        decoder->normalizationGainDb = normalizationGainDb(*d.audioEffects);
        decoder->setEffects(d.audioEffects);
    }
    if (!decoder->open(demuxer.audio.codecParameters, demuxer.audio.timeBase, out)) {
        if (!decoder->refusal.empty())
            return refuseAudio(decoder->refusal);
        setLastError("AudioDecoder open failed");
        setState(PlayerState::Error);
        return false;
    }
    return true;
}

bool MediaSession::openVideo(bool hardwareDecoding)
{
    Impl& d = *impl;
    internal::Demuxer& demuxer = *d.demuxer;
    if (demuxer.video.index < 0)
        return true;
    internal::VideoDecoder* decoder = nullptr;
    {
        std::lock_guard lock(d.effectsMutex);
        d.videoDecoder = std::make_unique<internal::VideoDecoder>();
        decoder = d.videoDecoder.get();
    }
    if (!decoder->open(demuxer.video.codecParameters, demuxer.video.timeBase, hardwareDecoding)) {
        setLastError("VideoDecoder open failed");
        setState(PlayerState::Error);
        return false;
    }
    decoder->sarNum = demuxer.sarNum;
    decoder->sarDen = demuxer.sarDen;
    decoder->rotation = demuxer.rotation;
    decoder->clock = [this] { return videoClockUs(); };
    {
        std::lock_guard lock(d.effectsMutex);
        decoder->setFilters(d.videoFilters);
    }
    const int32_t w = demuxer.video.codecParameters->width;
    const int32_t h = demuxer.video.codecParameters->height;
    d.videoWidth = w;
    d.videoHeight = h;
    int64_t sampleWidth = w;
    if (demuxer.sarNum >= 1 && demuxer.sarDen >= 1)
        sampleWidth = int64_t(w) * demuxer.sarNum / demuxer.sarDen;
    const auto sw = static_cast<int32_t>(std::clamp<int64_t>(sampleWidth, 0, INT32_MAX));
    const bool turned = demuxer.rotation == 90 || demuxer.rotation == 270;
    d.displayWidth = turned ? h : sw;
    d.displayHeight = turned ? sw : h;
    d.sampleAspect = demuxer.sarNum >= 1 && demuxer.sarDen >= 1 ? double(demuxer.sarNum) / demuxer.sarDen : 1.0;
    d.containerTurned = turned;
    {
        std::lock_guard lock(d.effectsMutex);
        d.updateSubtitleCanvas(*d.videoFilters);
    }
    d.fps = demuxer.frameRate;
    std::lock_guard lock(d.frameQueueMutex);
    d.frameQueue = std::make_shared<internal::VideoFrameQueue>(5);
    return true;
}

void MediaSession::play()
{
    Impl& d = *impl;
    const PlayerState s = d.state.load();
    if (s == PlayerState::Paused) {
        std::lock_guard lock(d.audioOutputMutex);
        if (d.audioOutput)
            d.audioOutput->resume();
    } else if (s == PlayerState::Prepared) {
        const bool video = d.videoDecoder && d.frameQueue;
        if (d.audioDecoder && d.audioOutput) {
            {
                std::lock_guard lock(d.audioOutputMutex);
                d.audioOutput->setVolume(d.volume.load());
            }
            d.audioDecoder->start(&d.demuxer->audioQueue, &d.audioFramesDecoded);
            // The sound waits for the first picture at the start position (within reason): started at once, it
            // would run ahead while a large or far-from-a-key-frame picture is decoded, and the first pictures
            // would come late and be dropped. The output outlives the video decoder's thread (teardown joins the
            // decoder first), so the decoder may release it.
            if (video) {
                internal::AudioOutputWasapi* output = d.audioOutput.get();
                d.videoDecoder->firstPicture = [output] { output->releaseHold(); };
            }
            d.audioOutput->beginRendering(
                &d.audioFramesPlayed, video ? firstPictureWait : std::chrono::milliseconds {});
        }
        if (video)
            d.videoDecoder->start(&d.demuxer->videoQueue, d.frameQueue.get(), &d.videoFramesDecoded);
        d.demuxer->start(&d.packetsRead);
    } else {
        return;
    }
    int64_t expected = 0;
    d.wallStartNs.compare_exchange_strong(expected, Impl::steadyNowNs());
    setState(PlayerState::Playing);
}

void MediaSession::pause()
{
    Impl& d = *impl;
    if (d.state.load() != PlayerState::Playing)
        return;
    {
        std::lock_guard lock(d.audioOutputMutex);
        if (d.audioOutput)
            d.audioOutput->pause();
    }
    const int64_t started = d.wallStartNs.exchange(0);
    if (started != 0)
        d.wallAccumUs.fetch_add((Impl::steadyNowNs() - started) / 1000);
    setState(PlayerState::Paused);
}

void MediaSession::resume()
{
    Impl& d = *impl;
    if (d.state.load() != PlayerState::Paused)
        return;
    {
        std::lock_guard lock(d.audioOutputMutex);
        if (d.audioOutput)
            d.audioOutput->resume();
    }
    int64_t expected = 0;
    d.wallStartNs.compare_exchange_strong(expected, Impl::steadyNowNs());
    setState(PlayerState::Playing);
}

void MediaSession::teardown()
{
    Impl& d = *impl;
    const PlayerState s = d.state.load();
    if (s == PlayerState::Idle || s == PlayerState::Closed)
        return;
    d.generation.fetch_add(1);
    setState(PlayerState::Ending);

    // Wake every thread that may be blocked before joining any: the read thread (its queues and a stalled read),
    // the video decoder (a full frame queue) and the audio decoder (a full ring).
    if (d.demuxer)
        d.demuxer->join();
    {
        std::lock_guard lock(d.frameQueueMutex);
        if (d.frameQueue)
            d.frameQueue->abort();
    }
    if (d.audioOutput)
        d.audioOutput->ring().abort();
    if (d.audioDecoder)
        d.audioDecoder->join();
    if (d.videoDecoder)
        d.videoDecoder->join();
    if (d.audioOutput)
        d.audioOutput->stop();

    d.demuxer.reset();
    {
        std::lock_guard lock(d.effectsMutex);
        d.audioDecoder.reset();
        d.videoDecoder.reset();
    }
    {
        std::lock_guard lock(d.subtitleMutex);
        d.subtitleDecoder.reset();
    }
    {
        std::lock_guard lock(d.frameQueueMutex);
        d.frameQueue.reset();
    }
    std::unique_ptr<internal::AudioOutputWasapi> output;
    {
        std::lock_guard lock(d.audioOutputMutex);
        output = std::move(d.audioOutput);
    }
    output.reset();

    d.videoWidth = 0;
    d.videoHeight = 0;
    d.displayWidth = 0;
    d.displayHeight = 0;
    d.subtitleCanvasWidth = 0;
    d.subtitleCanvasHeight = 0;
    d.outputSampleRate = 0;
    d.durationUs = 0;
    d.basePositionUs = 0;
    d.resetClock();
    setCurrentUrl({});

    setState(PlayerState::Closed);
    setState(PlayerState::Idle);
}

void MediaSession::close()
{
    Impl& d = *impl;
    joinLoudnessWorker();
    joinSubtitlePrescan();
    teardown();
    {
        std::lock_guard lock(d.subtitleMutex);
        d.subtitleRenderer->clearTrack();
        d.loadedSubtitleKey.clear();
        d.currentSubtitleTrack = -1;
    }
    d.currentAudioTrack = -1;
    d.externalSubtitles.clear();
    d.streamInfo.reset();
    {
        std::lock_guard lock(d.mediaInfoMutex);
        d.mediaInfo = MediaInfo {};
    }
    std::lock_guard lock(d.frameMutex);
    d.coverArt.reset();
    d.currentFrame.reset();
}

void MediaSession::abortOpen()
{
    impl->abortFlag = true;
}

void MediaSession::clearAbort()
{
    impl->abortFlag = false;
}

PlayerState MediaSession::state() const
{
    return impl->state.load();
}

uint64_t MediaSession::generation() const
{
    return impl->generation.load();
}

std::string MediaSession::lastError() const
{
    std::lock_guard lock(impl->sessionMutex);
    return impl->lastError;
}

std::string MediaSession::currentUrl() const
{
    std::lock_guard lock(impl->sessionMutex);
    return impl->url;
}

void MediaSession::setStateCallback(std::function<void(PlayerState)> callback)
{
    std::lock_guard lock(impl->callbackMutex);
    impl->stateCallback = std::move(callback);
}

void MediaSession::setState(PlayerState s)
{
    Impl& d = *impl;
    const PlayerState old = d.state.exchange(s);
    if (old == s)
        return;
    defaultLogger()->info("MediaSession: state {} -> {}", playerStateName(old), playerStateName(s));
    std::function<void(PlayerState)> callback;
    {
        std::lock_guard lock(d.callbackMutex);
        callback = d.stateCallback;
    }
    if (!callback)
        return;
    try {
        callback(s);
    } catch (const std::exception& e) {
        // A failing listener must not leave an open or a teardown half done.
        defaultLogger()->warn("MediaSession: state callback failed: {}", e.what());
    } catch (...) {
        defaultLogger()->warn("MediaSession: state callback failed");
    }
}

void MediaSession::setLastError(std::string text)
{
    std::lock_guard lock(impl->sessionMutex);
    impl->lastError = std::move(text);
}

void MediaSession::setCurrentUrl(std::string url)
{
    std::lock_guard lock(impl->sessionMutex);
    impl->url = std::move(url);
}

} // namespace kvr::engine
