// The session's audio-track choice, the reopen at the clock, the audio delay, the preferences, and what the GUI
// reads of the running components: black bars of the current frame, the output's recent samples and the
// decoders' diagnostics.
#include "engine/MediaSession.h"

#include "engine/FrameUtils.h"
#include "engine/MediaSessionImpl.h"

#include <algorithm>
#include <utility>

namespace kvr::engine {

bool MediaSession::selectAudioTrack(int32_t streamIndex)
{
    Impl& d = *impl;
    if (currentUrl().empty() || streamIndex == d.currentAudioTrack.load())
        return false;
    d.selection.audioTrack = streamIndex;
    return reopenAtClock(Reopen::Keep);
}

bool MediaSession::reopenAtClock(Reopen kind)
{
    Impl& d = *impl;
    const std::string url = currentUrl();
    if (url.empty())
        return false;
    const PlayerState was = d.state.load();
    const int64_t position = clockUs();
    const bool ok = open_internal(std::filesystem::path(url), position, kind);
    // Unlike a seek, media that was only Prepared stays Prepared.
    if (ok && (was == PlayerState::Playing || was == PlayerState::Paused)) {
        play();
        if (was == PlayerState::Paused)
            pause();
    }
    return ok;
}

void MediaSession::setClockOffsetUs(int64_t offsetUs)
{
    impl->audioDelayUs = std::clamp<int64_t>(offsetUs, -3'000'000, 3'000'000);
    impl->subtitleRenderer->flush();
}

void MediaSession::setHardwareDecoding(bool enabled)
{
    impl->hardwareDecoding = enabled;
}

void MediaSession::setNetworkTimeoutUs(int64_t timeoutUs)
{
    impl->networkTimeoutUs = std::max<int64_t>(timeoutUs, 1000);
}

void MediaSession::setAutoLoadSubtitles(bool enabled)
{
    impl->autoLoadSubtitles = enabled;
}

void MediaSession::setPreferredLanguages(std::string audio, std::string subtitle)
{
    // Under the session lock: an open on another thread copies them at its start.
    std::lock_guard lock(impl->sessionMutex);
    impl->preferredAudioLanguage = std::move(audio);
    impl->preferredSubtitleLanguage = std::move(subtitle);
}

bool MediaSession::detectBlackBars(int32_t& left, int32_t& top, int32_t& right, int32_t& bottom) const
{
    const std::shared_ptr<VideoFrame> frame = openFrame();
    if (!frame)
        return false;
    return engine::detectBlackBars(*frame, left, top, right, bottom);
}

size_t MediaSession::recentAudioSamples(float* buffer, size_t count) const
{
    // The opening thread replaces the output meanwhile: reach it only under its guard.
    std::lock_guard lock(impl->audioOutputMutex);
    return impl->audioOutput ? impl->audioOutput->recentSamples(buffer, count) : 0;
}

// The decoders are replaced and destroyed under the effects lock, so they are read only under it.
bool MediaSession::usesHardwareDecoding() const
{
    std::lock_guard lock(impl->effectsMutex);
    return impl->videoDecoder && impl->videoDecoder->usesHardware();
}

std::string MediaSession::audioFilterDescription() const
{
    std::lock_guard lock(impl->effectsMutex);
    return impl->audioDecoder ? impl->audioDecoder->filterDescription() : std::string();
}

std::string MediaSession::videoFilterDescription() const
{
    std::lock_guard lock(impl->effectsMutex);
    return impl->videoDecoder ? impl->videoDecoder->filterDescription() : std::string();
}

double MediaSession::videoFilterMs() const
{
    std::lock_guard lock(impl->effectsMutex);
    return impl->videoDecoder ? impl->videoDecoder->filterMs() : 0.0;
}

double MediaSession::videoTransferMs() const
{
    std::lock_guard lock(impl->effectsMutex);
    return impl->videoDecoder ? impl->videoDecoder->transferMs() : 0.0;
}

} // namespace kvr::engine
