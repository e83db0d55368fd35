// The bridge's effects facet: audio effects, video filters, equaliser presets and stored effect settings.
#include "ui/MediaSessionBridge.h"

#include <limits>

namespace kvr::ui {

// Still to come with the effects: they do nothing yet.

QVariantMap MediaSessionBridge::audioEffects() const
{
    return {};
}

void MediaSessionBridge::setAudioEffects(const QVariantMap&) { }

QVariantMap MediaSessionBridge::videoFilters() const
{
    return {};
}

void MediaSessionBridge::setVideoFilters(const QVariantMap&) { }

void MediaSessionBridge::setEffectsForThisFile(bool) { }

int MediaSessionBridge::audioDelayMs() const
{
    return 0;
}

void MediaSessionBridge::setAudioDelayMs(int) { }

QVariantList MediaSessionBridge::eqPresets() const
{
    return {};
}

double MediaSessionBridge::replayGainTrackDb() const
{
    return std::numeric_limits<double>::quiet_NaN();
}

double MediaSessionBridge::replayGainAlbumDb() const
{
    return std::numeric_limits<double>::quiet_NaN();
}

void MediaSessionBridge::setVisualization(int) { }

void MediaSessionBridge::saveEqPreset(const QString&, const QVariantList&, double) { }

void MediaSessionBridge::deleteEqPreset(const QString&) { }

void MediaSessionBridge::makeEffectsDefault() { }

void MediaSessionBridge::resetEffectsToDefault() { }

void MediaSessionBridge::factoryResetEffects() { }

QVariantMap MediaSessionBridge::detectLetterbox()
{
    return {};
}

QVariantMap MediaSessionBridge::effectsDiagnostics() const
{
    return {};
}

QString MediaSessionBridge::videoFilterChain() const
{
    return {};
}

void MediaSessionBridge::loadEffectsForSource(const QString&) { }

void MediaSessionBridge::storeEffects() { }

} // namespace kvr::ui
