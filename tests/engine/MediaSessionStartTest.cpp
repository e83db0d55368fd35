// How playback starts on the test run's PulseAudio null sink: the sound waits for the first picture, so that the
// picture is shown at its time and the ones after it are not dropped for lateness, at a start and after a seek.
// The clip is decode-heavy at both: each start position lies 6 s past a key frame, so 150 pictures are decoded
// before the first one to show.
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

// The first picture is shown within a frame of the heard clock, and of the first second every picture is shown.
// On a machine so busy that the first picture took longer than the sound's longest wait, the sound may have run
// ahead by no more than the excess, and pictures may then be late; the order is still checked.
// A gap in the pictures counts as a drop unless the clock moved more than a frame between two looks, which means
// this thread was kept from running and would have skipped a picture itself.
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
    EXPECT_GE(shown, 20) << "pictures shown in the first second";
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
