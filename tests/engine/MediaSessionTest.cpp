// The session's lifecycle on generated media: the callback sequences, failures, play outside its states, close
// after a failed open, and the abort that an open must not lose.
#include "engine/internal/Demuxer.h"
#include "tests/engine/MediaSessionTestSupport.h"

#include <fmt/format.h>

#include <filesystem>

using namespace kvr::test::session;
using kvr::engine::playerStateName;
using S = PlayerState;

TEST(MediaSession, StateNames)
{
    const std::vector<std::pair<int, const char*>> cases = { { 0, "Idle" }, { 1, "Opening" }, { 2, "Prepared" },
        { 3, "Playing" }, { 4, "Paused" }, { 5, "Ending" }, { 6, "Closed" }, { 7, "Error" }, { 8, "?" }, { -1, "?" } };
    for (const auto& [value, name] : cases)
        EXPECT_STREQ(playerStateName(static_cast<S>(value)), name) << value;
}

TEST(MediaSession, OpenAndPlayReportEachTransitionOnce)
{
    auto session = makeSession();
    StateRecorder recorder(*session);
    struct Case {
        const char* fixture;
        std::vector<S> expected;
    };
    const std::vector<Case> cases = {
        { "video-only.mkv", { S::Opening, S::Prepared, S::Playing } },
        { "clip.mp4", { S::Ending, S::Closed, S::Idle, S::Opening, S::Prepared, S::Playing } },
        { "cover.mp3", { S::Ending, S::Closed, S::Idle, S::Opening, S::Prepared, S::Playing } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        const size_t logFrom = logText().size();
        const uint64_t generation = session->generation();
        ASSERT_TRUE(session->open(kvr::test::fixture(c.fixture), 0)) << session->lastError();
        session->play();
        EXPECT_EQ(recorder.take(), c.expected);
        // One step for the open, one for a teardown of what was open.
        EXPECT_EQ(session->generation(), generation + (c.expected.front() == S::Ending ? 2 : 1));
        const std::string log = logText().substr(logFrom);
        S previous = c.expected.front() == S::Ending ? S::Playing : S::Idle;
        for (S s : c.expected) {
            const std::string line
                = fmt::format("MediaSession: state {} -> {}", playerStateName(previous), playerStateName(s));
            EXPECT_EQ(countOf(log, line), 1u) << line;
            previous = s;
        }
        EXPECT_EQ(countOf(log, "MediaSession: state"), c.expected.size());
    }
    session->close();
    EXPECT_EQ(recorder.take(), (std::vector<S> { S::Ending, S::Closed, S::Idle }));
}

TEST(MediaSession, TeardownWithNothingOpenIsSilent)
{
    auto session = makeSession();
    StateRecorder recorder(*session);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const size_t logFrom = logText().size();
        const uint64_t generation = session->generation();
        session->close();
        session->close();
        EXPECT_TRUE(recorder.take().empty());
        EXPECT_EQ(session->generation(), generation);
        EXPECT_EQ(countOf(logText().substr(logFrom), "MediaSession:"), 0u);
        // Second round: the same from Idle after a medium was open and closed.
        ASSERT_TRUE(session->open(kvr::test::fixture("video-only.mkv"), 0));
        session->close();
        recorder.take();
    }
}

TEST(MediaSession, TeardownInClosedIsSilent)
{
    // Closed lasts only inside a teardown: close again from its callback.
    auto session = makeSession();
    ASSERT_TRUE(session->open(kvr::test::fixture("video-only.mkv"), 0));
    std::vector<S> seen;
    uint64_t generationInClosed = 0;
    size_t logInClosed = 0;
    session->setStateCallback([&](S s) {
        seen.push_back(s);
        if (s != S::Closed)
            return;
        generationInClosed = session->generation();
        logInClosed = countOf(logText(), "MediaSession:");
        session->close();
        EXPECT_EQ(session->generation(), generationInClosed);
        EXPECT_EQ(countOf(logText(), "MediaSession:"), logInClosed);
    });
    session->close();
    EXPECT_EQ(seen, (std::vector<S> { S::Ending, S::Closed, S::Idle }));
    EXPECT_EQ(session->generation(), generationInClosed);
    session->setStateCallback({});
}

TEST(MediaSession, FailedOpensReportTheirCause)
{
    const auto missing = kvr::test::scratchDirectory() / "missing.mkv";
    kvr::engine::internal::Demuxer demuxer;
    ASSERT_FALSE(demuxer.open(missing, 0, {}));
    struct Case {
        std::filesystem::path path;
        std::string error;
    };
    const std::vector<Case> cases = {
        { kvr::test::fixture("subtitle-only.mkv"), "No audio or video stream" },
        { missing, demuxer.lastError },
    };
    auto session = makeSession();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_FALSE(session->open(c.path, 0));
        EXPECT_EQ(session->state(), S::Error);
        EXPECT_EQ(session->lastError(), c.error);
        // The failed address stays until the next teardown.
        EXPECT_EQ(session->currentUrl(), c.path.native());
    }
}

TEST(MediaSession, PlayPauseAndResumeActOnlyInTheirStates)
{
    auto session = makeSession();
    StateRecorder recorder(*session);

    // Idle.
    session->play();
    session->pause();
    session->resume();
    EXPECT_TRUE(recorder.take().empty());

    // Opening, Ending and Closed are passed through inside an open and a close: try them from the callback.
    std::vector<S> seen;
    session->setStateCallback([&](S s) {
        seen.push_back(s);
        if (s == S::Opening || s == S::Ending || s == S::Closed) {
            session->play();
            session->resume();
            session->pause();
        }
    });
    ASSERT_TRUE(session->open(kvr::test::fixture("video-only.mkv"), 0));
    EXPECT_EQ(seen, (std::vector<S> { S::Opening, S::Prepared }));
    session->pause();
    session->resume();
    EXPECT_EQ(session->state(), S::Prepared);

    session->play();
    session->play(); // Playing
    session->resume();
    EXPECT_EQ(session->state(), S::Playing);
    session->pause();
    session->pause(); // Paused
    session->resume();
    session->close();
    EXPECT_EQ(seen,
        (std::vector<S> { S::Opening, S::Prepared, S::Playing, S::Paused, S::Playing, S::Ending, S::Closed, S::Idle }));

    // Error.
    seen.clear();
    EXPECT_FALSE(session->open(kvr::test::fixture("subtitle-only.mkv"), 0));
    session->play();
    session->resume();
    session->pause();
    EXPECT_EQ(seen, (std::vector<S> { S::Opening, S::Error }));
    session->setStateCallback({});
}

TEST(MediaSession, CloseAfterAFailedOpenEmptiesEverything)
{
    // A medium that disappears between its open and a seek: the seek's reopen fails and keeps what the first
    // open left (the description, the shown frame) until close.
    const auto path = kvr::test::scratchDirectory() / "vanishing.mp4";
    std::filesystem::copy_file(kvr::test::fixture("clip.mp4"), path);
    auto session = makeSession();
    ASSERT_TRUE(session->open(path, 0));
    session->play();
    ASSERT_TRUE(waitFor([&] { return session->takeFrame(INT64_MAX, true) != nullptr; }, 5s));
    std::filesystem::remove(path);
    EXPECT_FALSE(session->seek(1'000'000));
    EXPECT_EQ(session->state(), S::Error);
    EXPECT_FALSE(session->mediaInfo().tracks.empty());
    EXPECT_NE(session->currentFrame(), nullptr);

    StateRecorder recorder(*session);
    session->close();
    EXPECT_EQ(recorder.take(), (std::vector<S> { S::Ending, S::Closed, S::Idle }));
    const auto info = session->mediaInfo();
    EXPECT_TRUE(info.tracks.empty());
    EXPECT_TRUE(info.path.empty());
    EXPECT_EQ(session->currentFrame(), nullptr);
    EXPECT_EQ(session->coverArt(), nullptr);
    EXPECT_TRUE(session->currentUrl().empty());
    EXPECT_EQ(session->currentAudioTrack(), -1);
    EXPECT_EQ(session->currentSubtitleTrack(), -1);
}

TEST(MediaSession, AbortBeforeTheOpenStartsFailsIt)
{
    // The bridge clears the abort on the GUI thread, starts its open thread, and may abort before that thread
    // reaches open: the open must see that abort, not clear it.
    auto session = makeSession();
    session->clearAbort();
    std::atomic<bool> aborted { false };
    bool opened = true;
    std::thread openThread([&] {
        while (!aborted)
            std::this_thread::sleep_for(1ms);
        opened = session->open(kvr::test::fixture("clip.mp4"), 0);
    });
    session->abortOpen();
    aborted = true;
    openThread.join();
    EXPECT_FALSE(opened);
    EXPECT_EQ(session->state(), S::Error);
    EXPECT_FALSE(session->lastError().empty());

    // Until cleared, every open fails, and so does a reopen: it may run on another thread than the one that
    // aborts, and must not swallow an abort raised meanwhile.
    EXPECT_FALSE(session->open(kvr::test::fixture("clip.mp4"), 0));
    session->clearAbort();
    ASSERT_TRUE(session->open(kvr::test::fixture("clip.mp4"), 0));
    session->play();
    session->abortOpen();
    EXPECT_FALSE(session->seek(500'000));
    EXPECT_EQ(session->state(), S::Error);
    session->clearAbort();
    EXPECT_TRUE(session->seek(500'000)) << session->lastError();
    EXPECT_EQ(session->state(), S::Playing);
}
