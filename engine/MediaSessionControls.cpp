// The session's controls: output settings, effects and filters, the embedded-subtitle set-up of each open, the
// subtitle pre-scan, and the accessors.
#include "engine/MediaSession.h"

#include "engine/Logging.h"
#include "engine/MediaSessionImpl.h"
#include "engine/internal/SubtitlePrescan.h"

#include <algorithm>
#include <cmath>
#include <system_error>

namespace kvr::engine {
namespace {

// Network addresses get no pre-scan; a text that starts with "/" is a local path whatever it contains.
bool isNetworkUrl(const std::string& url)
{
    return !url.empty() && url.front() != '/' && url.find("://") != std::string::npos;
}

} // namespace

void MediaSession::setVolume(float v)
{
    Impl& d = *impl;
    if (!(v >= 0.0f))
        v = 0.0f; // also NaN
    v = std::min(v, 4.0f);
    d.volume = v;
    std::lock_guard lock(d.audioOutputMutex);
    if (d.audioOutput)
        d.audioOutput->setVolume(d.volume.load());
}

bool MediaSession::setSpeed(double requested)
{
    Impl& d = *impl;
    if (!std::isfinite(requested))
        return false;
    const double v = std::clamp(requested, 0.25, 4.0);
    if (std::abs(v - d.speed.load()) < 1e-6)
        return true;
    const std::string url = currentUrl();
    if (url.empty()) {
        d.speed = v;
        return true;
    }
    const PlayerState was = d.state.load();
    // The position is taken at the old speed, so the reopen continues exactly where playback was.
    const int64_t position = clockUs();
    d.speed = v;
    const bool ok = open_internal(std::filesystem::path(url), position, Reopen::Keep);
    if (ok && (was == PlayerState::Playing || was == PlayerState::Paused)) {
        play();
        if (was == PlayerState::Paused)
            pause();
    }
    return ok;
}

void MediaSession::setAudioEffects(const AudioEffects& effects)
{
    Impl& d = *impl;
    auto record = std::make_shared<const AudioEffects>(effects);
    {
        std::lock_guard lock(d.effectsMutex);
        d.audioEffects = record;
        if (d.audioDecoder) {
            d.audioDecoder->normalizationGainDb = normalizationGainDb(*record);
            d.audioDecoder->setEffects(record);
        }
    }
    // Outside the effects lock: starting a scan may wait for the previous worker, which takes that lock.
    startLoudnessScan();
}

void MediaSession::setVideoFilters(const VideoFilters& filters)
{
    Impl& d = *impl;
    auto record = std::make_shared<const VideoFilters>(filters);
    std::lock_guard lock(d.effectsMutex);
    d.videoFilters = record;
    d.updateSubtitleCanvas(*record);
    if (d.videoDecoder)
        d.videoDecoder->setFilters(record);
}

void MediaSession::setUpSubtitles(Reopen kind, const std::string& url)
{
    Impl& d = *impl;
    internal::Demuxer& demuxer = *d.demuxer;
    if (demuxer.subtitle.index < 0) {
        if (kind == Reopen::Fresh && !d.externalSubtitles.empty() && d.selection.subtitleTrack == -2)
            autoLoadSidecar();
        else if (d.currentSubtitleTrack.load() < 100000)
            d.currentSubtitleTrack = -1; // an external file chosen before a seek or a track change stays shown
        return;
    }

    const int32_t stream = demuxer.subtitle.index;
    const std::string key = url + "|" + std::to_string(stream);
    const AVCodecParameters* video = demuxer.video.codecParameters;
    bool isNew = false;
    {
        std::lock_guard lock(d.subtitleMutex);
        d.selection.subtitleTrack = stream;
        if (key != d.loadedSubtitleKey) {
            d.subtitleRenderer->clearTrack();
            d.loadedSubtitleKey = key;
            isNew = true;
        }
        d.currentSubtitleTrack = stream;
        d.subtitleDecoder = std::make_unique<internal::SubtitleDecoder>();
        if (!d.subtitleDecoder->open(demuxer.subtitle.codecParameters, d.subtitleRenderer.get(),
                video ? video->width : 0, video ? video->height : 0))
            d.subtitleDecoder.reset();
        d.subtitleRenderer->flush();
    }
    demuxer.onSubtitlePacket = [&d, stream](const AVPacket* packet, AVRational timeBase) {
        std::lock_guard lock(d.subtitleMutex);
        if (d.subtitleDecoder && d.currentSubtitleTrack.load() == stream)
            d.subtitleDecoder->decodePacket(packet, timeBase);
    };
    if (isNew)
        startSubtitlePrescan(url, stream);
}

void MediaSession::startSubtitlePrescan(std::string url, int32_t streamIndex)
{
    Impl& d = *impl;
    joinSubtitlePrescan();
    if (isNetworkUrl(url))
        return;
    internal::SubtitlePrescanJob job;
    job.renderer = d.subtitleRenderer;
    job.path = std::move(url);
    job.streamIndex = streamIndex;
    job.subtitleMutex = &d.subtitleMutex;
    job.currentSubtitleTrack = &d.currentSubtitleTrack;
    job.abort = &d.prescanAbort;
    if (d.demuxer) {
        if (const AVCodecParameters* video = d.demuxer->video.codecParameters) {
            job.videoWidth = video->width;
            job.videoHeight = video->height;
        }
        job.startTimeUs = d.demuxer->startTimeUs();
    }
    std::lock_guard lock(d.prescanThreadMutex);
    if (d.prescanThread.joinable()) {
        // Another thread started one meanwhile.
        d.prescanAbort = true;
        d.prescanThread.join();
        d.prescanAbort = false;
    }
    try {
        d.prescanThread = std::thread([job = std::move(job)] { internal::subtitlePrescan(job); });
    } catch (const std::system_error& e) {
        defaultLogger()->warn("Subtitles: pre-scan could not start: {}", e.what());
    }
}

void MediaSession::joinSubtitlePrescan()
{
    Impl& d = *impl;
    std::lock_guard lock(d.prescanThreadMutex);
    d.prescanAbort = true;
    if (d.prescanThread.joinable())
        d.prescanThread.join();
    d.prescanAbort = false;
}

int64_t MediaSession::durationUs() const
{
    return impl->durationUs.load();
}
int32_t MediaSession::videoWidth() const
{
    return impl->videoWidth.load();
}
int32_t MediaSession::videoHeight() const
{
    return impl->videoHeight.load();
}
int32_t MediaSession::displayWidth() const
{
    return impl->displayWidth.load();
}
int32_t MediaSession::displayHeight() const
{
    return impl->displayHeight.load();
}
double MediaSession::videoFps() const
{
    return impl->fps.load();
}
float MediaSession::volume() const
{
    return impl->volume.load();
}
double MediaSession::speed() const
{
    return impl->speed.load();
}
int64_t MediaSession::audioDelayUs() const
{
    return impl->audioDelayUs.load();
}
int64_t MediaSession::subtitleDelayUs() const
{
    return impl->subtitleDelayUs.load();
}
int32_t MediaSession::currentAudioTrack() const
{
    return impl->currentAudioTrack.load();
}
int32_t MediaSession::currentSubtitleTrack() const
{
    return impl->currentSubtitleTrack.load();
}
double MediaSession::trackGainDb() const
{
    return impl->trackGainDb.load();
}
double MediaSession::albumGainDb() const
{
    return impl->albumGainDb.load();
}

MediaInfo MediaSession::mediaInfo() const
{
    std::lock_guard lock(impl->mediaInfoMutex);
    return impl->mediaInfo;
}

AudioEffects MediaSession::audioEffects() const
{
    std::lock_guard lock(impl->effectsMutex);
    return *impl->audioEffects;
}

VideoFilters MediaSession::videoFilters() const
{
    std::lock_guard lock(impl->effectsMutex);
    return *impl->videoFilters;
}

std::shared_ptr<VideoFrame> MediaSession::currentFrame() const
{
    std::lock_guard lock(impl->frameMutex);
    return impl->currentFrame;
}

std::shared_ptr<VideoFrame> MediaSession::coverArt() const
{
    std::lock_guard lock(impl->frameMutex);
    return impl->coverArt;
}

} // namespace kvr::engine
