#pragma once

#include "engine/AudioEffects.h"
#include "engine/VideoFilters.h"

#include <string>

// Pure functions that turn the effect records into libavfilter chain texts: filters joined by single commas,
// real numbers through formatNumber, integers in plain decimal. An empty text means "build no graph".
// The texts are the same bytes whatever the process locale.
namespace kvr::engine {

// Appends filter to chain, with a separating comma when chain is not empty; an empty filter adds nothing.
void appendFilter(std::string& chain, const std::string& filter);

// "%.4f" (always with a decimal point), then trailing zeros and a bare trailing point stripped:
// 1.5 -> "1.5", 2 -> "2", -0.25 -> "-0.25", 0.123456 -> "0.1235".
std::string formatNumber(double value);

// The stage's value for key, or fallback when it has none or the stored value is not finite.
double stageParam(const AudioEffectStage& stage, const char* key, double fallback);

// A gain in dB as the chain uses it: a non-finite value counts as 0. The decoder's gain commands to
// "volume@preamp" and "equalizer@eq0".."equalizer@eq9" must send the same values the chain was built with.
double effectiveGain(double db);

// The audio chain for the decoder's output format (sampleRate, channels). normGainDb is the normalisation
// gain the caller chose (measured loudness gain for EBU R128, the tag's gain for ReplayGain). When the
// equaliser is in the chain it is always "volume@preamp" followed by "equalizer@eq0".."equalizer@eq9".
std::string buildAudioFilterChain(
    const AudioEffects& effects, double speed, double normGainDb, int sampleRate, int channels);

// The same chain with only the values that gain commands can change (the preamp and the ten band gains)
// printed as 0. Two equal shapes mean the same filters in the same order, so a running graph can be retuned
// by commands instead of being rebuilt. Everything else, the normalisation volume included, stays as built.
std::string buildAudioFilterShape(
    const AudioEffects& effects, double speed, double normGainDb, int sampleRate, int channels);

// Pitch-keeping speed change as atempo stages, each within atempo's 0.5..2 range. A speed that is not a
// positive finite number counts as 1.
std::string buildTempoChain(double speed);

// The video chain; the decoder appends its own format stage.
std::string buildVideoFilterChain(const VideoFilters& filters);

} // namespace kvr::engine
