#pragma once

#include "engine/AudioEffects.h"
#include "engine/VideoFilters.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <array>

// The effect records as QML and the settings store see them: maps keyed by the records' field names, read
// leniently (every unreadable value falls back to its default or its range), written with every key. Also the
// built-in equaliser presets and the content-derived key under which a file's own settings are stored.
namespace kvr::ui {

// The value as a number limited to low..high; fallback when it is no number or NaN.
double clampNumber(const QVariant& value, double low, double high, double fallback);

// map[key] as text when it is exactly one of allowed (case-sensitive), else fallback.
QString pickOption(const QVariantMap& map, const QString& key, const QStringList& allowed, const QString& fallback);

kvr::engine::AudioEffects audioEffectsFromMap(const QVariantMap& map);
QVariantMap audioEffectsToMap(const kvr::engine::AudioEffects& effects);
kvr::engine::VideoFilters videoFiltersFromMap(const QVariantMap& map);
QVariantMap videoFiltersToMap(const kvr::engine::VideoFilters& filters);

// Exactly ten equaliser gains from a list: missing or unreadable entries 0, each limited to -20..20 dB.
QVariantList equalizerBands(const QVariant& list);

struct EqPreset {
    const char* name;
    std::array<double, 10> bands; // dB, in the engine's band order; the preamp is 0
};
const std::array<EqPreset, 21>& builtinEqPresets();

// "<size>-<hash>" of a readable local file, hashed over its first and last 64 KiB, so a moved or renamed file
// keeps its settings; empty for addresses ("://") and for anything that is not a readable regular file.
QString effectsKeyForSource(const QString& path);

} // namespace kvr::ui
