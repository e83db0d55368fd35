// How playback starts on the test run's PulseAudio null sink: the sound waits for the first picture, so that the
// picture is shown at its time and the ones after it are not dropped for lateness, at a start and after a seek.
// The clip is decode-heavy at both: each start position lies 6 s past a key frame, so 150 pictures are decoded
// before the first one to show. And how it goes on when played again after a seek while paused.
#include "tests/engine/MediaSessionTestSupport.h"

#include <algorithm>
#include <cstdlib>

using namespace kvr::test::session;
using kvr::test::fixture;

namespace {

constexpr int64_t frameUs = 40'000; // 25 fps
// How long the sound waits for the first picture at most.
constexpr int64_t holdUs = 1'000'000;

struct Poll {
    int64_t clockUs; // the video clock the picture was asked for with
    int64_t pts; // the picture taken, -1 for none
    int64_t sincePlayUs; // when
};

// Takes pictures as the video sink does (the first one as soon as it is there, then each when due), every
// millisecond, until one second of the clip has been shown or `timeout` passes.
std::vector<Poll> showFirstSecond(MediaSession& session, Clock::time_point played)
{
    std::vector<Poll> polls;
    int64_t firstPts = -1;
    while (Clock::now() - played < 20s) {
        const int64_t clock = session.videoClockUs();
        auto frame = session.takeFrame(clock, firstPts < 0);
        const auto since = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - played).count();
        polls.push_back({ clock, frame ? frame->pts : -1, since });
        if (frame && firstPts < 0)
            firstPts = frame->pts;
        if (firstPts >= 0 && clock > firstPts + 1'000'000 + 2 * frameUs)
            break;
        std::this_thread::sleep_for(1ms);
    }
    return polls;
}

// No picture of the second from `first` on is dropped; returns how many were shown. A gap in the pictures counts as
// a drop unless the clock moved more than a frame between two looks, which means this thread was kept from running
// and would have skipped a picture itself.
int expectNoneDropped(const std::vector<Poll>& polls, std::vector<Poll>::const_iterator first)
{
    int64_t previousPts = first->pts;
    int64_t previousClock = first->clockUs;
    int shown = 1;
    for (auto p = first + 1; p != polls.end(); ++p) {
        const bool starved = p->clockUs - previousClock > frameUs;
        previousClock = p->clockUs;
        if (p->pts < 0)
            continue;
        if (p->pts >= first->pts + 1'000'000)
            break;
        ++shown;
        EXPECT_TRUE(p->pts - previousPts <= frameUs + frameUs / 2 || starved)
            << "pictures between " << previousPts << " and " << p->pts << " us were dropped";
        previousPts = p->pts;
    }
    return shown;
}

// The first picture is shown within a frame of the heard clock, and of the first second every picture is shown.
// On a machine so busy that the first picture took longer than the sound's longest wait, the sound may have run
// ahead by no more than the excess, and pictures may then be late; the order is still checked.
void expectInTimeAndComplete(const std::vector<Poll>& polls, int64_t target)
{
    auto first = std::find_if(polls.begin(), polls.end(), [](const Poll& p) { return p.pts >= 0; });
    ASSERT_NE(first, polls.end()) << "no picture shown";
    EXPECT_GE(first->pts, target);
    const int64_t excessUs = std::max<int64_t>(0, first->sincePlayUs - holdUs);
    EXPECT_LE(first->pts - first->clockUs, frameUs) << "the first picture came before its sound";
    EXPECT_LE(first->clockUs - first->pts, frameUs + excessUs)
        << "the sound ran ahead of the first picture, which came " << first->sincePlayUs / 1000
        << " ms after the start";
    if (excessUs > 0) {
        std::printf("the first picture came after %lld ms; pictures after it may be late\n",
            static_cast<long long>(first->sincePlayUs / 1000));
        return;
    }
    EXPECT_GE(expectNoneDropped(polls, first), 20) << "pictures shown in the first second";
}

} // namespace

TEST(MediaSession, SoundWaitsForTheFirstPictureAtStartAndAfterASeek)
{
    ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run under scripts/test.sh";
    MediaSession session;

    ASSERT_TRUE(session.open(fixture("session-long-gop.mp4"), 6'000'000)) << session.lastError();
    ASSERT_GE(session.currentAudioTrack(), 0) << "the clip plays with sound";
    session.play();
    {
        SCOPED_TRACE("start");
        expectInTimeAndComplete(showFirstSecond(session, Clock::now()), 6'000'000);
    }

    ASSERT_TRUE(session.seek(16'000'000)) << session.lastError();
    {
        SCOPED_TRACE("seek");
        expectInTimeAndComplete(showFirstSecond(session, Clock::now()), 16'000'000);
    }
    session.close();
}

// Pause, seek, play, with and without a picture (whose first one the sound otherwise waits for): the new opening's
// stream was paused right after it started, while the sink may still have been playing out what it had mixed
// ahead while idle. Playback goes on from the target with its sound: the clock leaves the target without a step
// and soon (the session gives a video's sound up after a second without it, and its clock then jumps to the wall
// clock), and the pictures after the one shown while paused are all shown, none dropped as late.
TEST(MediaSession, ResumeAfterASeekWhilePausedGoesOnFromTheTarget)
{
    ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run under scripts/test.sh";
    struct Case {
        const char* clip;
        bool video;
    };
    constexpr int64_t target = 1'000'000; // a key frame of the clip
    for (const Case& c : { Case { "clip.mp4", true }, Case { "tone3.wav", false } }) {
        SCOPED_TRACE(c.clip);
        const size_t logFrom = logText().size();
        MediaSession session;
        ASSERT_TRUE(session.open(fixture(c.clip), 0)) << session.lastError();
        ASSERT_GE(session.currentAudioTrack(), 0) << "the clip plays with sound";
        session.play();
        ASSERT_TRUE(waitFor([&] { return session.clockUs() > 300'000; }, 10s));
        session.pause();
        ASSERT_TRUE(session.seek(target)) << session.lastError();
        ASSERT_EQ(session.state(), PlayerState::Paused);

        std::vector<Poll> polls;
        if (c.video) {
            // The sink shows the picture at the target while paused; play is pressed as soon as it is there.
            const auto pausedSince = Clock::now();
            while (polls.empty() && Clock::now() - pausedSince < 20s) {
                const int64_t clock = session.videoClockUs();
                if (auto frame = session.takeFrame(clock, true))
                    polls.push_back({ clock, frame->pts, 0 });
                std::this_thread::sleep_for(1ms);
            }
            ASSERT_FALSE(polls.empty()) << "no picture while paused";
            ASSERT_GE(polls.front().pts, target);
            ASSERT_LT(polls.front().pts, target + frameUs);
        } else {
            polls.push_back({ session.videoClockUs(), -1, 0 });
        }
        ASSERT_EQ(polls.front().clockUs, target);

        session.play();
        const auto played = Clock::now();
        int64_t movedAtUs = -1;
        int64_t longestLookGapUs = 0; // before the clock moved: how long this thread was kept from looking
        while (Clock::now() - played < 20s) {
            const int64_t clock = session.videoClockUs();
            auto frame = c.video ? session.takeFrame(clock, false) : nullptr;
            const auto since = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - played).count();
            if (movedAtUs < 0 && clock > target) {
                // Ahead by the sound heard since the last look, or by a few periods the audio thread was late to
                // count; never by the best part of a second.
                EXPECT_LE(clock - target, since - polls.back().sincePlayUs + 250'000)
                    << "the clock stepped from the target to " << clock << " us, " << since / 1000 << " ms after play";
                movedAtUs = since;
            }
            if (movedAtUs < 0)
                longestLookGapUs = std::max(longestLookGapUs, since - polls.back().sincePlayUs);
            polls.push_back({ clock, frame ? frame->pts : -1, since });
            if (clock > target + 1'000'000 + 2 * frameUs)
                break;
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_GE(movedAtUs, 0) << "the clock never moved after play";
        EXPECT_LT(movedAtUs, 1'000'000 + longestLookGapUs)
            << "the sound came back " << movedAtUs / 1000 << " ms after play";
        if (c.video)
            expectNoneDropped(polls, polls.begin());
        EXPECT_EQ(countOf(logText().substr(logFrom), "no audio heard"), 0u) << "the sound was given up";
        session.close();
    }
}
