// The bridge's effects facet: audio effects, video filters, audio delay, the visualiser mode, diagnostics,
// equaliser presets and stored effect settings.
#include "ui/bridge/MediaSessionBridge.h"

#include "engine/FilterChains.h"
#include "engine/MediaSession.h"
#include "ui/bridge/EffectSettings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

namespace kvr::ui {

namespace {

const QString presetsKey = QStringLiteral("fx/eqPresets");
const QString defaultKey = QStringLiteral("fx/default");
const QString sourcePrefix = QStringLiteral("fx/source/");
constexpr int maxAudioDelayMs = 3000;

// A stored JSON object; anything missing, unparsable or not an object reads as an empty object.
QJsonObject readObject(const QSettings& settings, const QString& key)
{
    const QJsonDocument document = QJsonDocument::fromJson(settings.value(key).toByteArray());
    return document.isObject() ? document.object() : QJsonObject();
}

void writeObject(QSettings& settings, const QString& key, const QJsonObject& object)
{
    settings.setValue(key, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// Bypass is never stored, and never taken from storage: every file starts with both switches off.
QVariantMap withoutBypass(QVariantMap map)
{
    map.remove(QStringLiteral("bypass"));
    return map;
}

QVariantMap storedMap(const QJsonObject& object, const QString& member)
{
    return withoutBypass(object.value(member).toObject().toVariantMap());
}

} // namespace

QVariantMap MediaSessionBridge::audioEffects() const
{
    if (reopening_ && pendingAudioEffects_)
        return *pendingAudioEffects_;
    return audioEffectsToMap(session_ ? session_->audioEffects() : kvr::engine::AudioEffects {});
}

void MediaSessionBridge::setAudioEffects(const QVariantMap& map)
{
    if (!session_)
        return;
    // An open holds the engine: the change is dropped rather than making the window wait. Inside a reopen it
    // waits its turn.
    const kvr::engine::AudioEffects effects = audioEffectsFromMap(map);
    if (control([effects](kvr::engine::MediaSession& s) { s.setAudioEffects(effects); }) == Control::Dropped)
        return;
    if (reopening_)
        pendingAudioEffects_ = audioEffectsToMap(effects);
    storeEffects();
    emit effectsChanged();
}

QVariantMap MediaSessionBridge::videoFilters() const
{
    if (reopening_ && pendingVideoFilters_)
        return *pendingVideoFilters_;
    return videoFiltersToMap(session_ ? session_->videoFilters() : kvr::engine::VideoFilters {});
}

bool MediaSessionBridge::applyEffects(std::function<void(kvr::engine::MediaSession&)> apply)
{
    // A paused picture is drawn again through the new filters: at once, or after the reopens that run.
    switch (control(std::move(apply))) {
    case Control::Dropped:
        return false;
    case Control::Ran:
        refreshPausedPicture();
        break;
    case Control::Queued:
        reopen([](kvr::engine::MediaSession& s) { s.refreshPausedFrame(); });
        break;
    }
    return true;
}

void MediaSessionBridge::setVideoFilters(const QVariantMap& map)
{
    if (!session_)
        return;
    const kvr::engine::VideoFilters filters = videoFiltersFromMap(map);
    if (!applyEffects([filters](kvr::engine::MediaSession& s) { s.setVideoFilters(filters); }))
        return;
    if (reopening_)
        pendingVideoFilters_ = videoFiltersToMap(filters);
    storeEffects();
    emit effectsChanged();
}

void MediaSessionBridge::setEffectsForThisFile(bool on)
{
    if (on == effectsForThisFile_)
        return;
    if (on && effectsKey_.isEmpty()) {
        emit osd(tr("Per-file settings need a local file"));
        return;
    }
    effectsForThisFile_ = on;
    if (!on && !effectsKey_.isEmpty())
        settings_.remove(sourcePrefix + effectsKey_);
    storeEffects();
    emit effectsChanged();
}

int MediaSessionBridge::audioDelayMs() const
{
    return session_ ? static_cast<int>(session_->audioDelayUs() / 1000) : 0;
}

void MediaSessionBridge::setAudioDelayMs(int ms)
{
    if (!session_)
        return;
    ms = std::clamp(ms, -maxAudioDelayMs, maxAudioDelayMs);
    // The delay is a plain atomic in the session: no need for the engine lock.
    session_->setClockOffsetUs(int64_t(ms) * 1000);
    storeEffects();
    emit effectsChanged();
    const QString number = ms >= 1 ? QStringLiteral("+%1").arg(ms) : QString::number(ms);
    emit osd(tr("Audio delay %1 ms").arg(number));
}

QVariantList MediaSessionBridge::eqPresets() const
{
    QVariantList presets;
    for (const EqPreset& preset : builtinEqPresets()) {
        QVariantList bands;
        for (const double gain : preset.bands)
            bands << gain;
        presets << QVariantMap { { "name", QString::fromLatin1(preset.name) }, { "bands", bands }, { "preamp", 0.0 },
            { "builtin", true } };
    }
    // QVariantMap keeps the saved ones sorted by name.
    const QVariantMap saved = readObject(settings_, presetsKey).toVariantMap();
    for (auto it = saved.cbegin(); it != saved.cend(); ++it) {
        QVariantMap preset = it.value().toMap();
        // A damaged store must still give QML ten gains and a preamp to apply.
        preset.insert("bands", equalizerBands(preset.value("bands")));
        preset.insert("preamp", clampNumber(preset.value("preamp"), -20.0, 20.0, 0.0));
        preset.insert("name", it.key());
        preset.insert("builtin", false);
        presets << preset;
    }
    return presets;
}

double MediaSessionBridge::replayGainTrackDb() const
{
    return session_ ? session_->trackGainDb() : std::numeric_limits<double>::quiet_NaN();
}

double MediaSessionBridge::replayGainAlbumDb() const
{
    return session_ ? session_->albumGainDb() : std::numeric_limits<double>::quiet_NaN();
}

void MediaSessionBridge::setVisualization(int mode)
{
    mode = std::clamp(mode, 0, 5);
    if (mode == visualization_)
        return;
    visualization_ = mode;
    settings_.setValue(QStringLiteral("prefs/visualization"), mode);
    emit preferencesChanged();
}

void MediaSessionBridge::saveEqPreset(const QString& name, const QVariantList& bands, double preamp)
{
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return;
    for (const EqPreset& preset : builtinEqPresets()) {
        if (trimmed.compare(QLatin1String(preset.name), Qt::CaseInsensitive) == 0) {
            emit osd(tr("\"%1\" is a built-in preset; pick another name").arg(trimmed));
            return;
        }
    }
    QJsonObject presets = readObject(settings_, presetsKey);
    presets.insert(trimmed,
        QJsonObject { { "bands", QJsonArray::fromVariantList(equalizerBands(bands)) },
            { "preamp", clampNumber(preamp, -20.0, 20.0, 0.0) } });
    writeObject(settings_, presetsKey, presets);
    emit eqPresetsChanged();
    emit osd(tr("Saved equalizer preset \"%1\"").arg(trimmed));
}

void MediaSessionBridge::deleteEqPreset(const QString& name)
{
    QJsonObject presets = readObject(settings_, presetsKey);
    if (!presets.contains(name))
        return;
    presets.remove(name);
    writeObject(settings_, presetsKey, presets);
    emit eqPresetsChanged();
}

void MediaSessionBridge::makeEffectsDefault()
{
    if (!session_)
        return;
    writeObject(settings_, defaultKey,
        QJsonObject { { "audio", QJsonObject::fromVariantMap(withoutBypass(audioEffects())) },
            { "video", QJsonObject::fromVariantMap(withoutBypass(videoFilters())) } });
    emit osd(tr("These settings are now the default"));
}

void MediaSessionBridge::resetEffectsToDefault()
{
    if (!session_)
        return;
    if (!effectsKey_.isEmpty())
        settings_.remove(sourcePrefix + effectsKey_);
    effectsForThisFile_ = false;
    const QJsonObject stored = readObject(settings_, defaultKey);
    const kvr::engine::AudioEffects effects = audioEffectsFromMap(storedMap(stored, "audio"));
    const kvr::engine::VideoFilters filters = videoFiltersFromMap(storedMap(stored, "video"));
    if (!applyEffects([effects, filters](kvr::engine::MediaSession& s) {
            s.setAudioEffects(effects);
            s.setVideoFilters(filters);
            s.setClockOffsetUs(0);
        }))
        return;
    if (reopening_) {
        pendingAudioEffects_ = audioEffectsToMap(effects);
        pendingVideoFilters_ = videoFiltersToMap(filters);
    }
    emit effectsChanged();
    emit osd(tr("Effects reset to the default"));
}

void MediaSessionBridge::factoryResetEffects()
{
    if (!session_)
        return;
    settings_.remove(defaultKey);
    if (!effectsKey_.isEmpty())
        settings_.remove(sourcePrefix + effectsKey_);
    effectsForThisFile_ = false;
    if (!applyEffects([](kvr::engine::MediaSession& s) {
            s.setAudioEffects(kvr::engine::AudioEffects {});
            s.setVideoFilters(kvr::engine::VideoFilters {});
            s.setClockOffsetUs(0);
        }))
        return;
    if (reopening_) {
        pendingAudioEffects_ = audioEffectsToMap(kvr::engine::AudioEffects {});
        pendingVideoFilters_ = videoFiltersToMap(kvr::engine::VideoFilters {});
    }
    emit effectsChanged();
    emit osd(tr("All effects and filters off"));
}

QVariantMap MediaSessionBridge::detectLetterbox()
{
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    bool found = false;
    if (session_) {
        waitForReopens(std::chrono::seconds(2));
        found = session_->detectBlackBars(left, top, right, bottom);
    }
    return { { "found", found }, { "left", int(left) }, { "top", int(top) }, { "right", int(right) },
        { "bottom", int(bottom) } };
}

QVariantMap MediaSessionBridge::effectsDiagnostics() const
{
    if (!session_)
        return {};
    QVariantMap diagnostics;
    diagnostics.insert("audioGraph", QString::fromStdString(session_->audioFilterDescription()));
    diagnostics.insert("videoGraph", QString::fromStdString(session_->videoFilterDescription()));
    diagnostics.insert("transferMs", session_->videoTransferMs());
    diagnostics.insert("filterMs", session_->videoFilterMs());
    const double fps = session_->videoFps();
    diagnostics.insert("frameBudgetMs", fps > 0.0 ? 1000.0 / fps : 0.0);
    return diagnostics;
}

QString MediaSessionBridge::videoFilterChain() const
{
    if (!session_)
        return {};
    // The chain as it runs with interpolation and bypass off, whatever their settings.
    kvr::engine::VideoFilters filters = session_->videoFilters();
    filters.interpolate = false;
    filters.bypass = false;
    return QString::fromStdString(kvr::engine::buildVideoFilterChain(filters));
}

void MediaSessionBridge::loadEffectsForSource(const QString& path)
{
    if (!session_)
        return;
    effectsKey_ = effectsKeyForSource(path);
    QJsonObject source;
    if (!effectsKey_.isEmpty())
        source = readObject(settings_, sourcePrefix + effectsKey_);
    effectsForThisFile_ = !source.isEmpty();
    if (!effectsForThisFile_)
        source = readObject(settings_, defaultKey);
    // No open runs now (the caller has cancelled it), so the session is called directly.
    session_->setAudioEffects(audioEffectsFromMap(storedMap(source, "audio")));
    session_->setVideoFilters(videoFiltersFromMap(storedMap(source, "video")));
    // Limited here already (the session limits it too), so that no stored number can overflow.
    const double delayMs = effectsForThisFile_
        ? clampNumber(source.value("audioDelayMs").toVariant(), -maxAudioDelayMs, maxAudioDelayMs, 0.0)
        : 0.0;
    session_->setClockOffsetUs(std::lround(delayMs) * 1000);
    emit effectsChanged();
}

void MediaSessionBridge::storeEffects()
{
    if (!session_)
        return;
    QJsonObject object { { "audio", QJsonObject::fromVariantMap(withoutBypass(audioEffects())) },
        { "video", QJsonObject::fromVariantMap(withoutBypass(videoFilters())) } };
    if (!effectsForThisFile_ || effectsKey_.isEmpty()) {
        writeObject(settings_, defaultKey, object);
        return;
    }
    object.insert("audioDelayMs", audioDelayMs());
    writeObject(settings_, sourcePrefix + effectsKey_, object);
}

} // namespace kvr::ui
