// The GUI's setters and readers (volume, delays, subtitle scale, preferences, black bars, the audio tap, the
// decoders' diagnostics) called all the time while an open thread opens and plays and the GUI thread changes
// tracks, subtitles and speed and closes: for ThreadSanitizer. Cheap in a normal build; a ThreadSanitizer build
// runs 100 cycles.
#include "tests/engine/MediaSessionTestSupport.h"

#include <pthread.h>

#include <filesystem>
#include <fstream>
#include <random>

using namespace kvr::test::session;
namespace fs = std::filesystem;

TEST(MediaSession, StressSettersAndReadersFromTheGuiThread)
{
#if defined(__SANITIZE_THREAD__)
    const int cycles = 100;
#else
    const int cycles = 25;
#endif
    const fs::path dir = kvr::test::scratchDirectory() / "controls-stress";
    fs::create_directories(dir);
    fs::copy_file(kvr::test::fixture("multi.mkv"), dir / "Movie.mkv");
    fs::copy_file(kvr::test::fixture("cover.mp3"), dir / "Song.mp3");
    for (const char* name : { "Movie.srt", "Song.en.srt", "extra.srt" })
        std::ofstream(dir / name) << "1\n00:00:00,000 --> 00:00:05,000\nStress\n\n";
    const std::vector<fs::path> media = { dir / "Movie.mkv", dir / "Song.mp3" };

    auto session = makeSession();
    std::recursive_mutex engineMutex;
    std::atomic<bool> done { false };
    std::atomic<int64_t> samplesRead { 0 };

    std::thread render([&] {
        pthread_setname_np(pthread_self(), "test-render");
        kvr::engine::internal::SubtitleOverlay overlay;
        while (!done) {
            session->takeFrame(session->videoClockUs(), false);
            session->renderSubtitles(64, 48, overlay);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread gui([&] {
        pthread_setname_np(pthread_self(), "test-gui");
        std::vector<float> tap(2 * 1024);
        for (int i = 0; !done; ++i) {
            session->setVolume(float(i % 5) * 0.5f);
            session->setClockOffsetUs((i % 7 - 3) * 100'000);
            session->setSubtitleDelayUs((i % 5 - 2) * 250'000);
            session->setSubtitleScale(0.5 + (i % 4) * 0.5);
            session->setHardwareDecoding(i % 2 == 0);
            session->setAutoLoadSubtitles(i % 3 != 0);
            session->setPreferredLanguages(i % 2 ? "deu" : "eng", i % 2 ? "eng" : "");
            kvr::engine::AudioEffects fx;
            fx.eqEnabled = i % 2 == 0;
            fx.bands[2] = i % 9;
            session->setAudioEffects(fx);
            kvr::engine::VideoFilters filters;
            filters.brightness = (i % 3) * 0.1;
            session->setVideoFilters(filters);
            int32_t l, t, r, b;
            session->detectBlackBars(l, t, r, b);
            samplesRead += int64_t(session->recentAudioSamples(tap.data(), 1024));
            session->usesHardwareDecoding();
            session->audioFilterDescription();
            session->videoFilterDescription();
            session->videoFilterMs();
            session->videoTransferMs();
            session->volume();
            session->currentAudioTrack();
            session->currentSubtitleTrack();
            session->coverArt();
            session->mediaInfo();
            std::this_thread::sleep_for(1ms);
        }
    });

    std::mt19937 random(9);
    for (int cycle = 0; cycle < cycles; ++cycle) {
        session->clearAbort();
        const fs::path path = media[size_t(cycle) % media.size()];
        std::thread open([&, path] {
            pthread_setname_np(pthread_self(), "test-open");
            std::lock_guard lock(engineMutex);
            if (session->open(path, 0))
                session->play();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
        {
            // The GUI's track, subtitle and speed requests only try the engine mutex.
            std::unique_lock lock(engineMutex, std::try_to_lock);
            if (lock.owns_lock()) {
                std::string error;
                switch (cycle % 5) {
                case 0:
                    session->selectAudioTrack(session->currentAudioTrack() == 1 ? 2 : 1);
                    break;
                case 1:
                    session->selectSubtitleTrack(100000);
                    break;
                case 2:
                    session->selectSubtitleTrack(cycle % 2 ? 3 : -1);
                    break;
                case 3:
                    session->addSubtitleFile(dir / "extra.srt", error);
                    break;
                default:
                    session->setSpeed(cycle % 2 ? 1.25 : 1.0);
                    break;
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
        session->abortOpen();
        open.join();
        std::lock_guard lock(engineMutex);
        session->close();
    }
    done = true;
    render.join();
    gui.join();
    EXPECT_EQ(session->state(), PlayerState::Idle);
    EXPECT_EQ(session->recentAudioSamples(nullptr, 16), 0u);
}
