// The session's loudness normalisation: starting and joining the EBU R128 measurement of the open medium, and the
// gain its audio decoder applies.
#include "engine/MediaSession.h"

#include "engine/MediaSessionImpl.h"

namespace kvr::engine {

void MediaSession::startLoudnessScan()
{
    Impl& d = *impl;
    {
        std::lock_guard lock(d.effectsMutex);
        if (d.audioEffects->normalize != AudioEffects::NormalizeEbuR128)
            return;
    }
    const std::string url = currentUrl();
    const int32_t stream = d.currentAudioTrack.load();
    if (url.empty() || stream < 0)
        return;
    // The scanner skips addresses already measured or being measured, and network addresses; it stops a
    // previous worker for another address first. No session lock is held here, as its worker takes them.
    d.loudness->start(url, stream);
}

void MediaSession::joinLoudnessWorker()
{
    impl->loudness->join();
}

double MediaSession::normalizationGainDb(const AudioEffects& effects) const
{
    const Impl& d = *impl;
    double measured = std::nan("");
    if (effects.normalize == AudioEffects::NormalizeEbuR128) {
        const std::string url = currentUrl();
        if (!url.empty())
            measured = d.loudness->cachedLoudness(url);
    }
    return internal::normalizationGainDb(effects, measured, d.trackGainDb.load(), d.albumGainDb.load());
}

void MediaSession::applyMeasuredLoudness(const std::string& url)
{
    // On the loudness worker's thread, with none of the scanner's locks held.
    Impl& d = *impl;
    std::lock_guard lock(d.effectsMutex);
    if (!d.audioDecoder || currentUrl() != url)
        return;
    d.audioDecoder->normalizationGainDb = normalizationGainDb(*d.audioEffects);
    d.audioDecoder->setEffects(d.audioEffects);
}

} // namespace kvr::engine
