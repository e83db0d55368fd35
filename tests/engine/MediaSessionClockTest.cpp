// The session's clock, seeking, frame stepping, end of stream and statistics, on generated media.
#include "tests/engine/MediaSessionTestSupport.h"

#include <regex>
#include <thread>

using namespace kvr::test::session;
using namespace kvr::platform::audio;
using S = PlayerState;

namespace {

// The fields of the latest statistics line.
struct Stats {
    int64_t played = -1;
    int64_t clock = -1;
};

Stats logStats(MediaSession& session)
{
    session.logStats();
    const std::string text = logText();
    const size_t line = text.rfind("stats: ");
    Stats s;
    if (line == std::string::npos)
        return s;
    std::smatch m;
    const std::string rest = text.substr(line, text.find('\n', line) - line);
    if (std::regex_search(rest, m, std::regex("a_played=(\\d+) .* clock_us=(-?\\d+)"))) {
        s.played = std::stoll(m[1]);
        s.clock = std::stoll(m[2]);
    }
    return s;
}

} // namespace

TEST(MediaSession, ClockIsHeardFramesTimesSpeedFromTheStart)
{
    VirtualDeviceOptions options;
    options.format.sampleRate = 48000;
    options.periodFrames = 480;
    options.manualPacing = true;
    auto device = std::make_shared<VirtualDevice>(options);
    MediaSession session([device] { return makeVirtualEnumerator(device); });
    ASSERT_TRUE(session.setSpeed(1.5));
    ASSERT_TRUE(session.open(kvr::test::fixture("clip.mp4"), 1'000'000)) << session.lastError();
    session.play();
    EXPECT_EQ(session.clockUs(), 1'000'000);

    // Pass periods until the heard count moves, then check the formula exactly while nothing moves. The periods
    // before the first picture is decoded (up to a second) pass in silence.
    int64_t played = 0;
    for (int i = 0; i < 2000 && played < 48000; ++i) {
        const uint64_t releases = device->counters().releases;
        device->advance(5);
        ASSERT_TRUE(device->waitUntil([&](auto& c) { return c.releases > releases; }, 10s));
        // The render thread updates the heard count just after the release; read once it has settled, so
        // the clock and the count in one line describe the same moment.
        Stats s = logStats(session);
        for (int settle = 0; settle < 200; ++settle) {
            std::this_thread::sleep_for(1ms);
            const Stats again = logStats(session);
            if (again.played == s.played && again.clock == s.clock)
                break;
            s = again;
        }
        played = s.played;
        EXPECT_EQ(s.clock, 1'000'000 + static_cast<int64_t>(double(s.played) * 1'000'000.0 / 48000 * 1.5));
    }
    EXPECT_GE(played, 48000);
    session.close();
}

TEST(MediaSession, VideoOnlyClockRunsOnTheWallFromTheFirstFrameShown)
{
    auto session = makeSession();
    ASSERT_TRUE(session->open(kvr::test::fixture("video-only.mkv"), 500'000));
    session->play();
    std::this_thread::sleep_for(300ms);
    std::shared_ptr<kvr::engine::VideoFrame> frame;
    ASSERT_TRUE(waitFor([&] { return (frame = session->takeFrame(session->videoClockUs(), true)) != nullptr; }, 30s));
    const auto shownAt = Clock::now();
    const int64_t first = session->clockUs();
    EXPECT_GE(first, 500'000);
    EXPECT_LT(first, 500'000 + 100'000);
    std::this_thread::sleep_for(400ms);
    const int64_t later = session->clockUs();
    const auto elapsedUs = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - shownAt).count();
    EXPECT_GE(later - 500'000, 400'000);
    EXPECT_LE(later - 500'000, elapsedUs + 1000);

    // Paused, it stands still.
    session->pause();
    const int64_t paused = session->clockUs();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(session->clockUs(), paused);
}

TEST(MediaSession, SeekClampsItsTarget)
{
    struct Case {
        const char* fixture;
        int64_t target;
        int64_t expected; // -2: the medium's duration
    };
    const std::vector<Case> cases = {
        { "clip.mp4", -5'000'000, 0 }, { "clip.mp4", 60'000'000, -2 }, { "clip.mp4", 1'500'000, 1'500'000 },
        { "session-raw.h264", 60'000'000, 60'000'000 }, // unknown duration
    };
    auto session = makeSession();
    EXPECT_FALSE(session->seek(0)); // nothing open
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " " + std::to_string(c.target));
        ASSERT_TRUE(session->open(kvr::test::fixture(c.fixture), 0));
        const int64_t duration = session->durationUs();
        const size_t from = logText().size();
        EXPECT_TRUE(session->seek(c.target)) << session->lastError();
        EXPECT_EQ(lastOpenStartUs(from), c.expected == -2 ? duration : c.expected);
        if (c.expected == -2) {
            EXPECT_GT(duration, 0);
        }
    }
}

TEST(MediaSession, SeekRestoresPausedAndStartsPrepared)
{
    const std::vector<std::pair<S, S>> cases
        = { { S::Prepared, S::Playing }, { S::Playing, S::Playing }, { S::Paused, S::Paused } };
    auto session = makeSession();
    for (const auto& [before, after] : cases) {
        SCOPED_TRACE(playerStateName(before));
        ASSERT_TRUE(session->open(kvr::test::fixture("clip.mp4"), 0));
        if (before != S::Prepared)
            session->play();
        if (before == S::Paused)
            session->pause();
        ASSERT_EQ(session->state(), before);
        StateRecorder recorder(*session);
        ASSERT_TRUE(session->seek(1'000'000));
        std::vector<S> expected = { S::Ending, S::Closed, S::Idle, S::Opening, S::Prepared, S::Playing };
        if (after == S::Paused)
            expected.push_back(S::Paused);
        EXPECT_EQ(recorder.take(), expected);
        session->setStateCallback({});
    }
}

TEST(MediaSession, FrameStepsByHalfAFrameForwardAndOneAndAHalfBack)
{
    struct Case {
        const char* fixture;
        bool forward;
        int64_t delta;
    };
    const std::vector<Case> cases = {
        { "clip.mp4", true, 20'000 },
        { "clip.mp4", false, -60'000 },
        { "session-fps1000.mkv", true, 20'000 }, // an implausible rate is stepped as 25 fps
        { "session-fps1000.mkv", false, -60'000 },
    };
    auto session = makeSession();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + (c.forward ? " forward" : " backward"));
        ASSERT_TRUE(session->open(kvr::test::fixture(c.fixture), 300'000));
        session->play();
        std::shared_ptr<kvr::engine::VideoFrame> frame;
        ASSERT_TRUE(waitFor([&] { return (frame = session->takeFrame(INT64_MAX, true)) != nullptr; }, 30s));
        ASSERT_GE(frame->pts, 300'000);
        const size_t from = logText().size();
        EXPECT_TRUE(session->stepFrame(c.forward));
        EXPECT_EQ(lastOpenStartUs(from), frame->pts + c.delta);
        EXPECT_EQ(session->state(), S::Paused);
    }

    // Backward from the first frame: nothing to step to.
    ASSERT_TRUE(session->open(kvr::test::fixture("clip.mp4"), 0));
    session->play();
    std::shared_ptr<kvr::engine::VideoFrame> frame;
    ASSERT_TRUE(waitFor([&] { return (frame = session->takeFrame(0, false)) != nullptr; }, 30s));
    ASSERT_EQ(frame->pts, 0);
    const uint64_t generation = session->generation();
    EXPECT_FALSE(session->stepFrame(false));
    EXPECT_EQ(session->generation(), generation);
    EXPECT_EQ(session->state(), S::Paused);

    // Without video there is nothing to step.
    ASSERT_TRUE(session->open(kvr::test::fixture("cover.mp3"), 0));
    EXPECT_FALSE(session->stepFrame(true));
}

// A seek while paused replaces the picture, but the one taken before it stays the session's current frame until the
// sink draws again: a step or a redraw must start from the seek's picture, whether or not it has been drawn.
TEST(MediaSession, FrameStepAfterAPausedSeekStartsFromTheSeeksPicture)
{
    enum class Act { Forward, Back, Refresh };
    struct Case {
        const char* name;
        int64_t shownUs; // the picture drawn before the seek
        int64_t seekUs;
        // 0: nothing of the seek drawn yet; 1: its picture decoded and waiting; 2: its picture drawn.
        int waited;
        Act act;
        int64_t expectedPts; // the picture after the step; -1: the step is refused
    };
    // clip.mp4 has a picture every 40 ms from 0.
    const std::vector<Case> cases = {
        { "forward past the first picture", 0, 2'000'000, 0, Act::Forward, 2'040'000 },
        { "back past the first picture", 0, 2'000'000, 0, Act::Back, 1'960'000 },
        { "forward after a seek back", 2'000'000, 1'000'000, 0, Act::Forward, 1'040'000 },
        { "back after a seek back", 2'000'000, 1'000'000, 0, Act::Back, 960'000 },
        { "back after a seek to the start", 2'000'000, 0, 0, Act::Back, -1 },
        { "forward from a target between pictures", 0, 1'010'000, 1, Act::Forward, 1'080'000 },
        { "back from a target between pictures", 0, 1'010'000, 1, Act::Back, 1'000'000 },
        { "forward once the seek was drawn", 0, 2'000'000, 2, Act::Forward, 2'040'000 },
        { "redraw", 2'000'000, 1'000'000, 0, Act::Refresh, 1'000'000 },
    };
    auto session = makeSession();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(session->open(kvr::test::fixture("clip.mp4"), c.shownUs)) << session->lastError();
        session->play();
        // Taken as the sink takes the picture while nothing is shown.
        auto draw = [&] {
            std::shared_ptr<kvr::engine::VideoFrame> frame;
            EXPECT_TRUE(
                waitFor([&] { return (frame = session->takeFrame(session->videoClockUs(), true)) != nullptr; }, 30s));
            return frame ? frame->pts : -1;
        };
        ASSERT_EQ(draw(), c.shownUs);
        session->pause();

        ASSERT_TRUE(session->seek(c.seekUs)) << session->lastError();
        ASSERT_EQ(session->state(), S::Paused);
        if (c.waited == 1) {
            ASSERT_TRUE(waitFor([&] { return session->frameDue(session->videoClockUs(), true); }, 30s));
        } else if (c.waited == 2) {
            ASSERT_GE(draw(), c.seekUs);
        }

        const uint64_t generation = session->generation();
        bool stepped = true;
        if (c.act == Act::Refresh)
            session->refreshPausedFrame();
        else
            stepped = session->stepFrame(c.act == Act::Forward);
        EXPECT_EQ(session->state(), S::Paused);
        if (c.expectedPts < 0) {
            EXPECT_FALSE(stepped);
            EXPECT_EQ(session->generation(), generation);
            continue;
        }
        EXPECT_TRUE(stepped);
        EXPECT_GT(session->generation(), generation);
        EXPECT_EQ(draw(), c.expectedPts);
    }
}

TEST(MediaSession, RefreshRedecodesOnlyAPausedPicture)
{
    auto session = makeSession();
    ASSERT_TRUE(session->open(kvr::test::fixture("video-only.mkv"), 1'000'000));
    session->play();
    std::shared_ptr<kvr::engine::VideoFrame> frame;
    ASSERT_TRUE(waitFor([&] { return (frame = session->takeFrame(INT64_MAX, true)) != nullptr; }, 30s));
    uint64_t generation = session->generation();
    session->refreshPausedFrame(); // Playing: nothing
    EXPECT_EQ(session->generation(), generation);

    session->pause();
    const size_t from = logText().size();
    session->refreshPausedFrame();
    EXPECT_GT(session->generation(), generation);
    EXPECT_EQ(lastOpenStartUs(from), frame->pts);
    EXPECT_EQ(session->state(), S::Paused);
}

TEST(MediaSession, ReachedEndAfterTheEndHeldMoreThan300ms)
{
    for (const char* fixture : { "video-only.mkv", "clip.mp4" }) {
        SCOPED_TRACE(fixture);
        auto session = makeSession();
        ASSERT_TRUE(session->open(kvr::test::fixture(fixture), 2'500'000));
        EXPECT_FALSE(session->reachedEnd()); // Prepared
        session->play();
        ASSERT_TRUE(waitFor(
            [&] {
                session->takeFrame(INT64_MAX, true);
                return session->reachedEnd();
            },
            60s));

        // A poll outside Playing clears the mark; the wait starts again from the next poll.
        session->pause();
        EXPECT_FALSE(session->reachedEnd());
        session->resume();
        const auto before = Clock::now();
        EXPECT_FALSE(session->reachedEnd());
        const auto markedBy = Clock::now();
        std::this_thread::sleep_for(150ms);
        const bool early = session->reachedEnd();
        if (Clock::now() - before < 300ms) {
            EXPECT_FALSE(early);
        }
        std::this_thread::sleep_for(250ms);
        ASSERT_GT(Clock::now() - markedBy, 300ms);
        EXPECT_TRUE(session->reachedEnd());
        EXPECT_EQ(session->state(), S::Playing); // the session never ends playback by itself
    }
}

TEST(MediaSession, StatsLineNamesEveryCounter)
{
    auto session = makeSession();
    const size_t from = logText().size();
    session->logStats();
    ASSERT_TRUE(session->open(kvr::test::fixture("clip.mp4"), 0));
    session->play();
    ASSERT_TRUE(waitFor([&] { return session->takeFrame(INT64_MAX, true) != nullptr; }, 30s));
    session->logStats();
    const std::regex line("stats: pkt=\\d+ v_dec=\\d+ a_dec=\\d+ a_played=\\d+ v_qsize=\\d+ clock_us=-?\\d+ "
                          "state=(Idle|Playing)\n");
    const std::string text = logText().substr(from);
    EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), line), std::sregex_iterator()), 2);
    EXPECT_NE(text.find("state=Idle"), std::string::npos);
}

TEST(MediaSession, SeeksInMpegTsShowThePictureAtTheTarget)
{
    // All have a key frame every 2 s and no index; the time stamps of seek-wrap.ts pass 2^33 at about 5.7 s, those
    // of seek-wrap-late.ts at about 63.6 s.
    struct Case {
        const char* fixture;
        std::vector<int64_t> targets;
    };
    const Case cases[] = {
        { "seek-gop2.ts", { 1'000'000, 3'000'000, 5'500'000 } },
        { "seek-wrap.ts", { 3'000'000, 6'000'000, 10'000'000 } },
        { "seek-wrap-late.ts", { 3'000'000, 63'000'000, 66'000'000, 70'000'000 } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        auto session = makeSession();
        ASSERT_TRUE(session->open(kvr::test::fixture(c.fixture), 0)) << session->lastError();
        const int64_t duration = session->durationUs();
        session->play();
        session->pause();
        for (const int64_t target : c.targets) {
            SCOPED_TRACE(target);
            // Paused, the seek stays paused and the sink forces out the first picture of the new open: the first
            // frame at or after the target.
            ASSERT_TRUE(session->seek(target)) << session->lastError();
            ASSERT_EQ(session->state(), S::Paused);
            std::shared_ptr<kvr::engine::VideoFrame> first;
            ASSERT_TRUE(waitFor(
                [&] {
                    first = session->takeFrame(session->videoClockUs(), true);
                    return first != nullptr;
                },
                10s));
            EXPECT_GE(first->pts, target);
            EXPECT_LE(first->pts, target + 100'000);
            // Played on, the clock moves on from the target and stays within the medium.
            session->resume();
            EXPECT_TRUE(waitFor([&] { return session->clockUs() > target + 200'000; }, 10s));
            const int64_t clock = session->clockUs();
            EXPECT_LE(clock, duration);
            session->pause();
        }
    }
}

TEST(MediaSession, AudioOfAnImplausibleRateIsDroppedAndSeeksStayPrompt)
{
    // tone3-1hz.wav is tone3.wav with a header that claims 1 Hz; clip-1hz-audio.mkv holds clip.mp4's picture and
    // that audio.
    auto session = makeSession();
    const size_t from = logText().size();

    // Alone, the audio cannot be played: the open fails with the reason, and so does a seek's reopen.
    EXPECT_FALSE(session->open(kvr::test::fixture("tone3-1hz.wav"), 0));
    EXPECT_EQ(session->state(), S::Error);
    EXPECT_EQ(session->lastError(), "Audio not played: sample rate 1 Hz is outside 1000-768000 Hz");
    EXPECT_FALSE(session->seek(1'000'000));
    EXPECT_EQ(session->state(), S::Error);
    EXPECT_EQ(countOf(logText().substr(from), "MediaSession: audio track 0 dropped: sample rate 1 Hz"), 2u);

    // The unpatched file plays and seeks.
    ASSERT_TRUE(session->open(kvr::test::fixture("tone3.wav"), 0)) << session->lastError();
    session->play();
    ASSERT_TRUE(session->seek(1'500'000)) << session->lastError();
    EXPECT_TRUE(waitFor([&] { return session->clockUs() > 1'600'000; }, 10s));

    // Beside a picture the audio is dropped and the picture plays on, through a seek, to its end.
    ASSERT_TRUE(session->open(kvr::test::fixture("clip-1hz-audio.mkv"), 0)) << session->lastError();
    EXPECT_EQ(countOf(logText().substr(from), "MediaSession: audio track 1 dropped: sample rate 1 Hz"), 1u);
    EXPECT_EQ(session->currentAudioTrack(), -1);
    RenderLoop render(*session);
    session->play();
    ASSERT_TRUE(session->seek(1'000'000)) << session->lastError();
    EXPECT_EQ(session->state(), S::Playing);
    EXPECT_TRUE(waitFor([&] { return session->clockUs() > 1'100'000; }, 10s));
    EXPECT_TRUE(waitFor([&] { return session->reachedEnd(); }, 20s));
    const auto shown = render.shown();
    ASSERT_FALSE(shown.empty());
    EXPECT_GE(shown.back().pts, 2'800'000);
}

TEST(MediaSession, FlacWhoseStreamInfoGivesARefusedRateFailsWithTheReason)
{
    // tone44k.flac with its STREAMINFO rate patched; the frames keep theirs, so the demuxer reports 44100 Hz and
    // only the decoder, which reads STREAMINFO, sees the refused rate.
    const struct {
        const char* file;
        const char* error;
    } rows[] = {
        { "tone-0hz.flac", "Audio not played: sample rate 0 Hz is outside 1000-768000 Hz" },
        { "tone-1hz.flac", "Audio not played: sample rate 1 Hz is outside 1000-768000 Hz" },
        { "tone-1048575hz.flac", "Audio not played: sample rate 1048575 Hz is outside 1000-768000 Hz" },
    };
    auto session = makeSession();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        EXPECT_FALSE(session->open(kvr::test::fixture(row.file), 0));
        EXPECT_EQ(session->state(), S::Error);
        EXPECT_EQ(session->lastError(), row.error);
    }
    // The session is whole afterwards: the unpatched file plays.
    ASSERT_TRUE(session->open(kvr::test::fixture("tone44k.flac"), 0)) << session->lastError();
    session->play();
    EXPECT_TRUE(waitFor([&] { return session->clockUs() > 200'000; }, 10s));
}
