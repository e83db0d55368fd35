// Open/close cycles with the threads that really drive a session, for ThreadSanitizer: an open thread (open and
// play under the engine mutex), a "GUI" thread (seek under a try-lock, abortOpen, close), a "render" thread
// (frames, subtitles, clock, generation) and settings changed meanwhile. EBU R128 is on and an embedded subtitle
// stream is shown, so the loudness worker and the subtitle pre-scan run too. Cheap in a normal build; a
// ThreadSanitizer build runs the full 200 cycles.
#include "tests/engine/MediaSessionTestSupport.h"

#include <pthread.h>

#include <filesystem>
#include <random>

using namespace kvr::test::session;

TEST(MediaSession, StressWithTheCallersThreads)
{
#if defined(__SANITIZE_THREAD__)
    const int cycles = 200;
#else
    const int cycles = 20;
#endif
    // Every address is measured once per session, so a few copies keep the loudness worker busy.
    std::vector<std::filesystem::path> media;
    for (int i = 0; i < 5; ++i) {
        media.push_back(kvr::test::scratchDirectory() / ("stress-" + std::to_string(i) + ".mkv"));
        std::filesystem::copy_file(kvr::test::fixture("tracks.mkv"), media.back());
    }

    // Counted across the log's rotated files: the statistics lines of a sanitized run fill more than one.
    const size_t measuredBefore = countInLogs("Loudness: I=");
    const size_t prescansBefore = countInLogs("Subtitles: pre-scan of stream");
    auto session = makeSession();
    std::atomic<int> stateChanges { 0 };
    session->setStateCallback([&](PlayerState) { ++stateChanges; });
    kvr::engine::AudioEffects fx;
    fx.normalize = kvr::engine::AudioEffects::NormalizeEbuR128;
    session->setAudioEffects(fx);

    std::recursive_mutex engineMutex;
    std::atomic<bool> done { false };
    std::atomic<int64_t> framesTaken { 0 };

    std::thread render([&] {
        pthread_setname_np(pthread_self(), "test-render");
        kvr::engine::internal::SubtitleOverlay overlay;
        uint64_t generation = 0;
        while (!done) {
            if (session->generation() != generation)
                generation = session->generation();
            if (session->takeFrame(session->videoClockUs(), false))
                ++framesTaken;
            session->renderSubtitles(64, 48, overlay);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread settings([&] {
        pthread_setname_np(pthread_self(), "test-settings");
        for (int i = 0; !done; ++i) {
            session->setVolume(float(i % 5) * 0.5f);
            kvr::engine::AudioEffects a = fx;
            a.eqEnabled = i % 2 == 0;
            a.bands[3] = i % 7;
            session->setAudioEffects(a);
            kvr::engine::VideoFilters v;
            v.brightness = (i % 3) * 0.1;
            session->setVideoFilters(v);
            session->currentFrame();
            session->mediaInfo();
            session->logStats();
            std::this_thread::sleep_for(3ms);
        }
    });

    std::mt19937 random(8);
    for (int cycle = 0; cycle < cycles; ++cycle) {
        // The bridge's open: cleared on the GUI thread, then open and play on a thread of their own.
        session->clearAbort();
        const auto path = media[size_t(cycle) % media.size()];
        std::thread open([&, path] {
            pthread_setname_np(pthread_self(), "test-open");
            std::lock_guard lock(engineMutex);
            if (session->open(path, 0))
                session->play();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
        if (cycle % 3 != 0) {
            std::unique_lock lock(engineMutex, std::try_to_lock);
            if (lock.owns_lock()) {
                session->seek(int64_t(random() % 1'200'000));
                session->reachedEnd();
                if (cycle % 3 == 2)
                    session->stepFrame(true);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
        if (cycle == cycles / 2) {
            // Most cycles are cut short by the next close (all of them in a slow sanitizer build): let one play
            // until a measurement has finished and pictures have been shown, in the middle of the storm.
            EXPECT_TRUE(waitFor([&] { return countInLogs("Loudness: I=") > measuredBefore; }, 60s));
            EXPECT_TRUE(waitFor([&] { return framesTaken > 0; }, 60s));
        }
        // The bridge's stop: abandon and join a pending open, then close under the engine mutex.
        session->abortOpen();
        open.join();
        std::lock_guard lock(engineMutex);
        session->close();
    }
    done = true;
    render.join();
    settings.join();
    EXPECT_EQ(session->state(), PlayerState::Idle);
    EXPECT_GT(stateChanges.load(), cycles * 3);
    EXPECT_GT(framesTaken.load(), 0);
    // The workers really ran alongside.
    EXPECT_GT(countInLogs("Loudness: I="), measuredBefore);
    EXPECT_GT(countInLogs("Subtitles: pre-scan of stream"), prescansBefore);
}
