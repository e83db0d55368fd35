// Measures what an effects push costs the GUI thread while clip.mp4 plays through the real bridge: the
// effects window sends the whole audio map on every step of a band drag, and the bridge stores it and hands
// it to the engine each time. The anchor is a volume write in the same run. The clip repeats, so it plays for the
// whole run however long a busy machine makes it. Settings go to a scratch folder.
//   build/bench/kvr_bench_effects_push [file]
#include "engine/MediaSession.h"
#include "ui/bridge/MediaSessionBridge.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <functional>
#include <vector>

using kvr::ui::MediaSessionBridge;

namespace {

constexpr int kWrites = 500;
// Steps of a fast drag, with the event loop running in between; pushes and volume writes alternate.
constexpr int kStepMs = 2;

// Runs the event loop until done or the deadline.
bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

double timed(const std::function<void()>& write)
{
    QElapsedTimer timer;
    timer.start();
    write();
    return double(timer.nsecsElapsed()) / 1000.0;
}

void runEvents(int ms)
{
    QElapsedTimer step;
    step.start();
    while (step.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return 1;
    qputenv("XDG_CONFIG_HOME", scratch.path().toUtf8());
    qputenv("XDG_DATA_HOME", scratch.path().toUtf8());
    QCoreApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    QCoreApplication::setOrganizationName(QStringLiteral("KestruneBench"));
    QCoreApplication::setApplicationName(QStringLiteral("EffectsPushBench"));

    const QString path = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(KVR_FIXTURE_DIR "/clip.mp4");
    kvr::engine::MediaSession session;
    MediaSessionBridge bridge;
    bridge.setSession(&session);
    // Takes the due frames as the video sink would, so playback runs on.
    QTimer sink;
    QObject::connect(&sink, &QTimer::timeout, [&] { bridge.takeFrame(bridge.videoClockUs(), false); });
    sink.start(15);

    bridge.restorePlaylist({ path }, -1);
    bridge.setPlayPlaylist(false);
    bridge.setRepeatMode(MediaSessionBridge::RepeatOne);
    bridge.loadEffectsForSource(path);
    if (!bridge.openEntry(0) || !waitFor([&] { return bridge.state() == MediaSessionBridge::State::Playing; }, 20000)) {
        std::fprintf(stderr, "EffectsPushBench: %s does not play\n", qPrintable(path));
        return 1;
    }

    int loops = 0;
    QObject::connect(&bridge, &MediaSessionBridge::stateChanged, [&] {
        if (bridge.state() == MediaSessionBridge::State::Opening)
            ++loops;
    });

    QVariantMap effects = bridge.audioEffects();
    effects.insert(QStringLiteral("eqEnabled"), true);
    bridge.setAudioEffects(effects);
    std::vector<double> pushes;
    std::vector<double> volumes;
    pushes.reserve(kWrites);
    volumes.reserve(kWrites);
    for (int i = 0; i < kWrites; ++i) {
        // One band moves a step, as in a drag; the whole map goes each time.
        QVariantList bands(10, 0.0);
        bands[5] = -20.0 + (i % 400) * 0.1;
        effects.insert(QStringLiteral("bands"), bands);
        pushes.push_back(timed([&] { bridge.setAudioEffects(effects); }));
        runEvents(kStepMs);
        volumes.push_back(timed([&] { bridge.setVolume(0.5 + (i % 2) * 0.01); }));
        runEvents(kStepMs);
    }
    std::sort(pushes.begin(), pushes.end());
    std::sort(volumes.begin(), volumes.end());
    // The last loop's reopen may still run.
    const bool stillPlaying = waitFor([&] { return bridge.state() == MediaSessionBridge::State::Playing; }, 20000);
    bridge.stop();

    const auto median = [](const std::vector<double>& t) { return t[t.size() / 2]; };
    std::printf("effects_push_median: %.1f us\n", median(pushes));
    std::printf("effects_push_max: %.1f us\n", pushes.back());
    std::printf("volume_write_median: %.1f us\n", median(volumes));
    std::printf("volume_write_max: %.1f us\n", volumes.back());
    std::printf("effects_push_median_ratio: %.1f x\n", median(pushes) / std::max(median(volumes), 0.001));
    std::printf("effects_push_clip_restarts: %d times\n", loops);
    if (!stillPlaying)
        std::fprintf(stderr, "EffectsPushBench: playback stopped during the run\n");
    return stillPlaying ? 0 : 1;
}
