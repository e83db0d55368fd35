#include "ui/bridge/MediaSessionBridge.h"

#include "engine/MediaSession.h"
#include "platform/audio/VirtualEndpoint.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/GTestQtPrinters.h"
#include "tests/ui/LoopbackHttpServer.h"
#include "ui/bridge/EffectSettings.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using kvr::ui::MediaSessionBridge;
using State = MediaSessionBridge::State;

namespace {

QString fixturePath(const char* name)
{
    return QString::fromStdString(kvr::test::fixture(name).string());
}

QString scratchPath(const QString& name)
{
    return QString::fromStdString(kvr::test::scratchDirectory().string()) + QLatin1Char('/') + name;
}

// A bridge on a real session whose audio goes to a silent endpoint; a timer takes the due frames as the video
// sink would.
struct Player {
    kvr::engine::MediaSession session { [] {
        return kvr::platform::audio::makeSilentEnumerator(kvr::platform::audio::MixFormat {});
    } };
    std::unique_ptr<MediaSessionBridge> bridge = std::make_unique<MediaSessionBridge>();
    QTimer sink;
    QStringList osd;

    Player()
    {
        bridge->setSession(&session);
        QObject::connect(&sink, &QTimer::timeout, [this] { bridge->takeFrame(bridge->videoClockUs(), false); });
        sink.start(15);
        QObject::connect(bridge.get(), &MediaSessionBridge::osd, bridge.get(), [this](const QString& t) { osd << t; });
    }

    // Opens path as the only entry the way the playlist does: its stored effects first, then the open.
    bool play(const QString& path)
    {
        bridge->restorePlaylist({ path }, -1);
        bridge->setPlayPlaylist(false);
        bridge->loadEffectsForSource(path);
        return bridge->openEntry(0) && QTest::qWaitFor([&] { return bridge->state() == State::Playing; }, 10000);
    }
};

// A stored effects document, as the settings hold it.
QJsonObject stored(const QString& key)
{
    QSettings settings;
    const QByteArray bytes = settings.value(key).toByteArray();
    EXPECT_FALSE(bytes.contains(' ') || bytes.contains('\n')) << key.toStdString() << ": not compact";
    return QJsonDocument::fromJson(bytes).object();
}

QString fileKey(const QString& path)
{
    return QStringLiteral("fx/source/") + kvr::ui::effectsKeyForSource(path);
}

QString copyOf(const char* fixture, const QString& name)
{
    const QString path = scratchPath(name);
    EXPECT_TRUE(QFile::copy(fixturePath(fixture), path));
    return path;
}

} // namespace

TEST(MediaSessionBridge, EffectsWithoutSessionShowDefaultsAndIgnoreWrites)
{
    MediaSessionBridge bridge;
    QSignalSpy changed(&bridge, &MediaSessionBridge::effectsChanged);
    QSignalSpy osd(&bridge, &MediaSessionBridge::osd);
    bridge.setAudioEffects({ { "eqEnabled", true } });
    bridge.setVideoFilters({ { "hflip", true } });
    bridge.setAudioDelayMs(200);
    bridge.makeEffectsDefault();
    bridge.resetEffectsToDefault();
    bridge.factoryResetEffects();
    bridge.loadEffectsForSource(fixturePath("clip.mp4"));

    EXPECT_EQ(bridge.audioEffects(), kvr::ui::audioEffectsToMap({}));
    EXPECT_EQ(bridge.videoFilters(), kvr::ui::videoFiltersToMap({}));
    EXPECT_EQ(bridge.audioDelayMs(), 0);
    EXPECT_TRUE(std::isnan(bridge.replayGainTrackDb()));
    EXPECT_TRUE(std::isnan(bridge.replayGainAlbumDb()));
    EXPECT_TRUE(bridge.effectsDiagnostics().isEmpty());
    EXPECT_EQ(bridge.videoFilterChain(), "");
    EXPECT_EQ(bridge.detectLetterbox(),
        (QVariantMap { { "found", false }, { "left", 0 }, { "top", 0 }, { "right", 0 }, { "bottom", 0 } }));
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(osd.count(), 0);
    EXPECT_FALSE(QSettings().contains("fx/default"));
}

// With per-file settings off, every change becomes the default at once (without bypass, without the delay).
TEST(MediaSessionBridge, EffectsChangesReachTheSessionAndBecomeTheDefault)
{
    Player p;
    QSignalSpy changed(p.bridge.get(), &MediaSessionBridge::effectsChanged);
    p.bridge->setAudioEffects({ { "eqEnabled", true }, { "bands", QVariantList { 3 } }, { "bypass", true } });
    EXPECT_TRUE(p.session.audioEffects().eqEnabled);
    EXPECT_EQ(p.session.audioEffects().bands[0], 3.0);
    EXPECT_TRUE(p.session.audioEffects().bypass);
    EXPECT_EQ(p.bridge->audioEffects()["bands"].toList()[0], 3.0);
    p.bridge->setVideoFilters({ { "hflip", true }, { "interpolate", true }, { "bypass", true } });
    EXPECT_TRUE(p.session.videoFilters().hflip);
    EXPECT_EQ(p.bridge->videoFilterChain(), "hflip") << "shown with interpolation and bypass off";
    p.bridge->setAudioDelayMs(120);
    EXPECT_EQ(changed.count(), 3);

    const QJsonObject def = stored("fx/default");
    EXPECT_EQ(def.keys(), (QStringList { "audio", "video" }));
    EXPECT_TRUE(def["audio"].toObject()["eqEnabled"].toBool());
    EXPECT_FALSE(def["audio"].toObject().contains("bypass"));
    EXPECT_TRUE(def["video"].toObject()["hflip"].toBool());
    EXPECT_FALSE(def["video"].toObject().contains("bypass"));
    EXPECT_EQ(def["video"].toObject().size(), 23);

    p.bridge->setAudioEffects({});
    EXPECT_FALSE(stored("fx/default")["audio"].toObject()["eqEnabled"].toBool());
    p.osd.clear();
    p.bridge->makeEffectsDefault();
    EXPECT_EQ(p.osd, QStringList { "These settings are now the default" });
    EXPECT_EQ(changed.count(), 4) << "making the default sends no signal";
}

TEST(MediaSessionBridge, EffectsAudioDelayIsLimitedAndAnnounced)
{
    Player p;
    const struct {
        int ms;
        int applied;
        const char* text;
    } rows[] = {
        { 5000, 3000, "Audio delay +3000 ms" },
        { 1, 1, "Audio delay +1 ms" },
        { 0, 0, "Audio delay 0 ms" },
        { 0, 0, "Audio delay 0 ms" }, // the same value again is applied and announced again
        { -40, -40, "Audio delay -40 ms" },
        { -4000, -3000, "Audio delay -3000 ms" },
    };
    for (const auto& row : rows) {
        QSignalSpy changed(p.bridge.get(), &MediaSessionBridge::effectsChanged);
        p.osd.clear();
        p.bridge->setAudioDelayMs(row.ms);
        EXPECT_EQ(p.session.audioDelayUs(), row.applied * 1000LL) << row.ms;
        EXPECT_EQ(p.bridge->audioDelayMs(), row.applied);
        EXPECT_EQ(p.osd, QStringList { row.text });
        EXPECT_EQ(changed.count(), 1);
    }
}

TEST(MediaSessionBridge, EffectsVisualizationIsLimitedAndStored)
{
    MediaSessionBridge bridge;
    QSignalSpy changed(&bridge, &MediaSessionBridge::preferencesChanged);
    const struct {
        int mode;
        int expected;
        int notified;
    } rows[] = { { 9, 5, 1 }, { 5, 5, 0 }, { -1, 0, 1 }, { 0, 0, 0 }, { 3, 3, 1 } };
    for (const auto& row : rows) {
        changed.clear();
        QSettings().remove("prefs/visualization");
        bridge.setVisualization(row.mode);
        EXPECT_EQ(bridge.visualization(), row.expected) << row.mode;
        EXPECT_EQ(changed.count(), row.notified) << row.mode;
        EXPECT_EQ(QSettings().contains("prefs/visualization"), row.notified == 1) << row.mode;
    }
    EXPECT_EQ(MediaSessionBridge().visualization(), 3) << "read back by the next bridge";
}

TEST(MediaSessionBridge, EffectsPresetsSaveReplaceAndDelete)
{
    MediaSessionBridge bridge;
    QStringList osd;
    QObject::connect(&bridge, &MediaSessionBridge::osd, &bridge, [&](const QString& t) { osd << t; });
    QSignalSpy changed(&bridge, &MediaSessionBridge::eqPresetsChanged);
    const QVariantList builtins = bridge.eqPresets();
    ASSERT_EQ(builtins.size(), 21);
    EXPECT_EQ(builtins[13].toMap(),
        (QVariantMap { { "name", "Rock" }, { "preamp", 0.0 }, { "builtin", true },
            { "bands", QVariantList { 8.0, 4.8, -5.6, -8.0, -3.2, 4.0, 8.8, 11.2, 11.2, 11.2 } } }));

    bridge.saveEqPreset("  Rock ", { 1 }, 0);
    bridge.saveEqPreset("rock", { 1 }, 0);
    bridge.saveEqPreset("   ", { 1 }, 0);
    EXPECT_EQ(osd,
        (QStringList {
            "\"Rock\" is a built-in preset; pick another name", "\"rock\" is a built-in preset; pick another name" }));
    EXPECT_EQ(changed.count(), 0);

    bridge.saveEqPreset(" Rock 2 ", { 1, 30, "x", -2 }, -25);
    bridge.saveEqPreset("A", {}, 0);
    EXPECT_EQ(osd.last(), "Saved equalizer preset \"A\"");
    EXPECT_EQ(changed.count(), 2);
    QVariantList presets = bridge.eqPresets();
    ASSERT_EQ(presets.size(), 23);
    EXPECT_EQ(presets[21].toMap()["name"], "A") << "saved ones follow the built-ins, by name";
    EXPECT_EQ(presets[22].toMap(),
        (QVariantMap { { "name", "Rock 2" }, { "preamp", -20.0 }, { "builtin", false },
            { "bands", QVariantList { 1.0, 20.0, 0.0, -2.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0 } } }));

    bridge.saveEqPreset("Rock 2", { 5 }, 1);
    presets = bridge.eqPresets();
    ASSERT_EQ(presets.size(), 23);
    EXPECT_EQ(presets[22].toMap()["bands"].toList()[0], 5.0);

    changed.clear();
    for (const char* name : { "Flat", "rock 2", " Rock 2", "B" })
        bridge.deleteEqPreset(name);
    EXPECT_EQ(changed.count(), 0);
    bridge.deleteEqPreset("Rock 2");
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(bridge.eqPresets().size(), 22);

    // A damaged store: other members are still listed, each with ten gains and a preamp.
    QSettings().setValue("fx/eqPresets", QByteArray(R"({"Odd":{"bands":"loud","preamp":"x","note":"kept"},"Z":7})"));
    presets = bridge.eqPresets();
    ASSERT_EQ(presets.size(), 23);
    EXPECT_EQ(presets[21].toMap(),
        (QVariantMap { { "name", "Odd" }, { "preamp", 0.0 }, { "builtin", false }, { "note", "kept" },
            { "bands", QVariantList(10, 0.0) } }));
    QSettings().setValue("fx/eqPresets", QByteArray("{not json"));
    EXPECT_EQ(bridge.eqPresets(), builtins);
}

// Per-file settings follow the file: its own entry (with the delay) when there is one, the default otherwise.
TEST(MediaSessionBridge, EffectsPerFileSettingsFollowTheFile)
{
    const QString a = copyOf("clip.mp4", "a.mp4");
    const QString b = copyOf("tone6.mkv", "b.mkv");
    Player p;
    QSignalSpy changed(p.bridge.get(), &MediaSessionBridge::effectsChanged);

    p.bridge->loadEffectsForSource(a);
    EXPECT_FALSE(p.bridge->effectsForThisFile());
    EXPECT_EQ(changed.count(), 1);
    p.bridge->setEffectsForThisFile(true);
    EXPECT_TRUE(p.bridge->effectsForThisFile());
    EXPECT_EQ(stored(fileKey(a))["audioDelayMs"], 0) << "turning it on stores the current settings";
    p.bridge->setAudioDelayMs(120);
    p.bridge->setVideoFilters({ { "hflip", true } });
    EXPECT_EQ(stored(fileKey(a))["audioDelayMs"], 120);
    EXPECT_TRUE(stored(fileKey(a))["video"].toObject()["hflip"].toBool());
    EXPECT_FALSE(QSettings().contains("fx/default")) << "the default is left alone";

    p.bridge->loadEffectsForSource(b);
    EXPECT_FALSE(p.bridge->effectsForThisFile());
    EXPECT_EQ(p.bridge->audioDelayMs(), 0);
    EXPECT_FALSE(p.session.videoFilters().hflip);
    p.bridge->setAudioDelayMs(80);
    p.bridge->loadEffectsForSource(b);
    EXPECT_EQ(p.bridge->audioDelayMs(), 0) << "without per-file settings the delay is not kept";

    p.bridge->loadEffectsForSource(a);
    EXPECT_TRUE(p.bridge->effectsForThisFile());
    EXPECT_EQ(p.bridge->audioDelayMs(), 120);
    EXPECT_TRUE(p.session.videoFilters().hflip);

    // Off: the entry goes, and its settings become everyone's default.
    p.bridge->setEffectsForThisFile(false);
    EXPECT_FALSE(QSettings().contains(fileKey(a)));
    p.bridge->loadEffectsForSource(b);
    EXPECT_TRUE(p.session.videoFilters().hflip);
    EXPECT_EQ(p.bridge->audioDelayMs(), 0);

    // A stream has no key: the default applies and per-file settings are refused.
    p.bridge->setAudioDelayMs(50);
    p.osd.clear();
    changed.clear();
    p.bridge->loadEffectsForSource("http://127.0.0.1:9/stream.mp4");
    EXPECT_FALSE(p.bridge->effectsForThisFile());
    EXPECT_TRUE(p.session.videoFilters().hflip);
    EXPECT_EQ(p.bridge->audioDelayMs(), 0);
    p.bridge->setEffectsForThisFile(true);
    EXPECT_FALSE(p.bridge->effectsForThisFile());
    EXPECT_EQ(p.osd, QStringList { "Per-file settings need a local file" });
    EXPECT_EQ(changed.count(), 1) << "only the load signals";
}

// Stored documents from an older or damaged settings file: bypass is never taken over, odd members read as
// defaults, absurd numbers are limited.
TEST(MediaSessionBridge, EffectsStoredDocumentsAreReadSafely)
{
    const QString a = copyOf("clip.mp4", "a.mp4");
    Player p;
    const struct {
        const char* what;
        QByteArray source; // per-file entry; empty: none
        QByteArray def;
        bool perFile;
        int delayMs;
        bool hflip;
    } rows[] = {
        { "bypass stored in the entry",
            R"({"audio":{"bypass":true,"mono":true},"video":{"bypass":true,"hflip":true},"audioDelayMs":40})", "", true,
            40, true },
        { "huge delay", R"({"audioDelayMs":1e300})", "", true, 3000, false },
        { "text delay, members of the wrong type", R"({"audio":[1,2],"video":"hflip","audioDelayMs":"soon"})", "", true,
            0, false },
        { "empty entry falls back to the default", "{}", R"({"video":{"hflip":true,"bypass":true}})", false, 0, true },
        { "unparsable entry and default", "{\"audio\":", "[1]", false, 0, false },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        QSettings settings;
        settings.remove("fx");
        if (!row.source.isEmpty())
            settings.setValue(fileKey(a), row.source);
        if (!row.def.isEmpty())
            settings.setValue("fx/default", row.def);
        p.session.setClockOffsetUs(700'000);
        p.bridge->loadEffectsForSource(a);
        EXPECT_EQ(p.bridge->effectsForThisFile(), row.perFile);
        EXPECT_EQ(p.bridge->audioDelayMs(), row.delayMs);
        EXPECT_EQ(p.session.videoFilters().hflip, row.hflip);
        EXPECT_FALSE(p.session.audioEffects().bypass);
        EXPECT_FALSE(p.session.videoFilters().bypass);
    }
}

TEST(MediaSessionBridge, EffectsResetsRemoveTheFileEntryAndApply)
{
    const QString a = copyOf("clip.mp4", "a.mp4");
    const QString b = copyOf("tone6.mkv", "b.mkv");
    Player p;
    QSettings().setValue(fileKey(b), QByteArray(R"({"audio":{"mono":true},"audioDelayMs":10})"));
    QSettings().setValue("fx/default", QByteArray(R"({"audio":{"swapChannels":true},"video":{"vflip":true}})"));
    QSettings().setValue(fileKey(a), QByteArray(R"({"audio":{"mono":true},"video":{"hflip":true},"audioDelayMs":90})"));
    p.bridge->loadEffectsForSource(a);
    ASSERT_TRUE(p.bridge->effectsForThisFile());
    ASSERT_EQ(p.bridge->audioDelayMs(), 90);

    QSignalSpy changed(p.bridge.get(), &MediaSessionBridge::effectsChanged);
    p.bridge->resetEffectsToDefault();
    EXPECT_FALSE(QSettings().contains(fileKey(a)));
    EXPECT_FALSE(p.bridge->effectsForThisFile());
    EXPECT_TRUE(p.session.audioEffects().swapChannels);
    EXPECT_FALSE(p.session.audioEffects().mono);
    EXPECT_TRUE(p.session.videoFilters().vflip);
    EXPECT_FALSE(p.session.videoFilters().hflip);
    EXPECT_EQ(p.bridge->audioDelayMs(), 0);
    EXPECT_EQ(p.osd, QStringList { "Effects reset to the default" });
    EXPECT_EQ(changed.count(), 1);

    p.bridge->setEffectsForThisFile(true);
    p.bridge->setAudioDelayMs(30);
    ASSERT_TRUE(QSettings().contains(fileKey(a)));
    p.osd.clear();
    changed.clear();
    p.bridge->factoryResetEffects();
    EXPECT_FALSE(QSettings().contains(fileKey(a)));
    EXPECT_FALSE(QSettings().contains("fx/default"));
    EXPECT_TRUE(QSettings().contains(fileKey(b))) << "other files keep their entries";
    EXPECT_FALSE(p.bridge->effectsForThisFile());
    EXPECT_EQ(p.session.audioEffects(), kvr::engine::AudioEffects {});
    EXPECT_EQ(p.session.videoFilters(), kvr::engine::VideoFilters {});
    EXPECT_EQ(p.bridge->audioDelayMs(), 0);
    EXPECT_EQ(p.osd, QStringList { "All effects and filters off" });
    EXPECT_EQ(changed.count(), 1);
}

// The stored effects of a file are applied before its open, so the first decoded frames already go through
// them; the diagnostics show the running graphs.
TEST(MediaSessionBridge, EffectsLoadedBeforeTheOpenRunInTheGraphs)
{
    const QString a = copyOf("clip.mp4", "a.mp4");
    QSettings().setValue(fileKey(a),
        QByteArray(R"({"audio":{"eqEnabled":true,"bands":[4]},"video":{"hflip":true},"audioDelayMs":-250})"));
    Player p;
    QSignalSpy mediaInfo(p.bridge.get(), &MediaSessionBridge::mediaInfoChanged);
    ASSERT_TRUE(p.play(a));
    EXPECT_TRUE(p.bridge->effectsForThisFile());
    EXPECT_EQ(p.bridge->audioDelayMs(), -250);
    QVariantMap diagnostics;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            diagnostics = p.bridge->effectsDiagnostics();
            return !diagnostics["audioGraph"].toString().isEmpty() && !diagnostics["videoGraph"].toString().isEmpty();
        },
        5000));
    EXPECT_TRUE(diagnostics["audioGraph"].toString().contains("equalizer@eq0=f=31:t=o:w=1:g=4"))
        << diagnostics["audioGraph"].toString().toStdString();
    EXPECT_TRUE(diagnostics["videoGraph"].toString().startsWith("hflip"))
        << diagnostics["videoGraph"].toString().toStdString();
    EXPECT_DOUBLE_EQ(diagnostics["frameBudgetMs"].toDouble(), 40.0);
    EXPECT_GE(diagnostics["filterMs"].toDouble(), 0.0);
    EXPECT_EQ(diagnostics["transferMs"].toDouble(), 0.0);
    EXPECT_EQ(
        diagnostics.keys(), (QStringList { "audioGraph", "filterMs", "frameBudgetMs", "transferMs", "videoGraph" }));
}

TEST(MediaSessionBridge, EffectsDiagnosticsOfAudioOnlyMediaHaveNoFrameBudget)
{
    Player p;
    ASSERT_TRUE(p.play(fixturePath("tags.ogg")));
    EXPECT_EQ(p.bridge->effectsDiagnostics()["frameBudgetMs"], 0.0);
    EXPECT_EQ(p.bridge->effectsDiagnostics()["videoGraph"], "");
    EXPECT_DOUBLE_EQ(p.bridge->replayGainTrackDb(), -3.5);
    EXPECT_TRUE(std::isnan(p.bridge->replayGainAlbumDb()));
}

TEST(MediaSessionBridge, EffectsLetterboxIsReportedNotApplied)
{
    Player p;
    ASSERT_TRUE(p.play(fixturePath("letterbox.mp4")));
    QVariantMap found;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            found = p.bridge->detectLetterbox();
            return found["found"].toBool();
        },
        3000));
    EXPECT_EQ(
        found, (QVariantMap { { "found", true }, { "left", 0 }, { "top", 40 }, { "right", 0 }, { "bottom", 40 } }));
    EXPECT_EQ(p.session.videoFilters().cropTop, 0);
}

// While an open holds the engine, effect writes and resets are dropped at once, without a signal or a message;
// the audio delay does not need the engine and still applies.
TEST(MediaSessionBridge, EffectsWritesAreDroppedWhileAnOpenHoldsTheEngine)
{
    kvr::test::LoopbackHttpServer server;
    server.hang("/stalled.mp4");
    Player p;
    p.bridge->restorePlaylist({ server.url("/stalled.mp4").toString() }, -1);
    ASSERT_TRUE(p.bridge->openEntry(0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !server.requests().isEmpty(); }, 5000));
    ASSERT_EQ(p.bridge->state(), State::Opening);
    QSettings().setValue("fx/default", QByteArray(R"({"video":{"vflip":true}})"));

    QSignalSpy changed(p.bridge.get(), &MediaSessionBridge::effectsChanged);
    QElapsedTimer timer;
    timer.start();
    p.bridge->setVideoFilters({ { "hflip", true } });
    p.bridge->setAudioEffects({ { "mono", true } });
    p.bridge->resetEffectsToDefault();
    p.bridge->factoryResetEffects();
    EXPECT_LT(timer.elapsed(), 500);
    EXPECT_EQ(p.session.videoFilters(), kvr::engine::VideoFilters {});
    EXPECT_EQ(p.session.audioEffects(), kvr::engine::AudioEffects {});
    EXPECT_EQ(changed.count(), 0);
    EXPECT_TRUE(p.osd.isEmpty());
    EXPECT_FALSE(QSettings().contains("fx/default")) << "the factory reset removed the default before trying";

    p.bridge->setAudioDelayMs(200);
    EXPECT_EQ(p.session.audioDelayUs(), 200'000);
    EXPECT_EQ(changed.count(), 1);
    p.bridge->stop();
}
