// Whole playbacks through the session: audio that arrives late or never, and the loudness measurement.
#include "tests/engine/MediaSessionTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

using namespace kvr::test::session;
using kvr::engine::AudioEffects;

namespace {

struct Playback {
    double endedAfterS = -1; // seconds from play to the first reachedEnd, -1 when it never came
    std::vector<RenderLoop::Shown> shown;
    Clock::time_point started;
    double longestStallS = 0; // the render loop's waits for the processor (see RenderLoop)
    double totalStallS = 0;
};

// Plays to the end as the bridge's tick and the video sink would, within `limit`.
Playback playToEnd(MediaSession& session, std::chrono::milliseconds limit)
{
    Playback p;
    RenderLoop render(session);
    p.started = Clock::now();
    session.play();
    while (Clock::now() - p.started < limit) {
        std::this_thread::sleep_for(100ms);
        if (session.reachedEnd()) {
            p.endedAfterS = std::chrono::duration<double>(Clock::now() - p.started).count();
            break;
        }
    }
    render.stop();
    p.shown = render.shown();
    p.longestStallS = render.longestStall().count();
    p.totalStallS = render.totalStall().count();
    return p;
}

// The longest wall time between two pictures shown one after the other, from the first to the last.
double longestStillS(const std::vector<RenderLoop::Shown>& shown)
{
    double longest = 0;
    for (size_t i = 1; i < shown.size(); ++i)
        longest = std::max(longest, std::chrono::duration<double>(shown[i].at - shown[i - 1].at).count());
    return longest;
}

} // namespace

TEST(MediaSession, PlaysOnTimeWhenAudioIsLateOrUndecodable)
{
    struct Case {
        const char* fixture;
        double durationS;
        bool abandonsAudio;
    };
    const std::vector<Case> cases = {
        { "late-audio.mkv", 4.0, false }, // audio starts 3 s after the video
        { "session-noisy-audio.mkv", 3.0, true }, // every audio packet is corrupted
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        auto session = makeSession();
        const size_t from = logText().size();
        ASSERT_TRUE(session->open(kvr::test::fixture(c.fixture), 0)) << session->lastError();
        const Playback p = playToEnd(*session, 60s);
        ASSERT_GT(p.endedAfterS, 0) << "never reached its end";
        // On a busy machine the session's threads wait for the processor as the test's own render loop did:
        // the time limits below allow for what that loop measured in this run.
        SCOPED_TRACE(testing::Message() << "render loop stalled " << p.longestStallS << " s at most, " << p.totalStallS
                                        << " s in all");
        EXPECT_GT(p.endedAfterS, c.durationS - 0.5);
        ASSERT_FALSE(p.shown.empty());
        EXPECT_GE(p.shown.back().pts, int64_t((c.durationS - 0.2) * 1e6));
        EXPECT_EQ(countOf(logText().substr(from), "MediaSession: no audio heard"), c.abandonsAudio ? 1u : 0u);
        if (kvr::test::sanitizedForThreads)
            continue;
        EXPECT_LT(p.endedAfterS, c.durationS + 1.5 + p.totalStallS);
        ASSERT_GT(p.shown.size(), 20u);
        EXPECT_LT(longestStillS(p.shown), (c.abandonsAudio ? 1.3 : 0.3) + p.longestStallS);
        // In real time once the clock runs: from the first picture shown after 1.5 s on, pictures advance with
        // the wall clock.
        const auto settled = std::find_if(
            p.shown.begin(), p.shown.end(), [&](const auto& s) { return s.at - p.shown.front().at > 1500ms; });
        ASSERT_NE(settled, p.shown.end());
        for (auto s = settled; s != p.shown.end(); ++s) {
            const double wall = std::chrono::duration<double>(s->at - settled->at).count();
            EXPECT_NEAR(double(s->pts - settled->pts) / 1e6, wall, 0.1 + 2 * p.longestStallS) << s->pts;
        }
    }
}

namespace {

double loggedLoudness(const std::string& log)
{
    const size_t at = log.rfind("Loudness: I=");
    return at == std::string::npos ? std::nan("") : std::stod(log.substr(at + 12));
}

AudioEffects ebuR128()
{
    AudioEffects fx;
    fx.normalize = AudioEffects::NormalizeEbuR128;
    return fx;
}

} // namespace

TEST(MediaSession, EbuR128MeasuresEachLocalMediumOnce)
{
    auto session = makeSession();
    session->setAudioEffects(ebuR128());
    const size_t from = logText().size();
    ASSERT_TRUE(session->open(kvr::test::fixture("clip.mp4"), 0));
    session->play();
    ASSERT_TRUE(waitFor([&] { return countOf(logText().substr(from), "Loudness: I=") == 1; }, 10s));
    const double lufs = loggedLoudness(logText());
    ASSERT_TRUE(std::isfinite(lufs));
    const double expected = std::clamp(-16.0 - lufs, -30.0, 20.0);
    // The line is logged just before the result is stored.
    EXPECT_TRUE(waitFor([&] { return std::abs(session->normalizationGainDb(ebuR128()) - expected) < 0.06; }, 5s));

    // Seeks reopen the medium; the cached result is used, nothing is measured again.
    ASSERT_TRUE(session->seek(1'000'000));
    ASSERT_TRUE(session->seek(2'000'000));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(countOf(logText().substr(from), "Loudness: I="), 1u);
    EXPECT_NEAR(session->normalizationGainDb(ebuR128()), expected, 0.06);

    // Silence measures as nothing: no entry, no gain.
    ASSERT_TRUE(session->open(kvr::test::fixture("silence.flac"), 0));
    session->play();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(countOf(logText().substr(from), "Loudness: I="), 1u);
    EXPECT_EQ(session->normalizationGainDb(ebuR128()), 0.0);
    session->close();
}

namespace {

// Serves one file over HTTP on 127.0.0.1 (honouring "Range") and counts the connections made to it.
class FileServer {
public:
    explicit FileServer(std::string body)
        : body(std::move(body))
    {
        listenFd = kvr::test::listenOnLoopback(port);
        if (listenFd < 0)
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
        thread = std::thread([this] { run(); });
    }
    ~FileServer()
    {
        stopping = true;
        thread.join();
        ::close(listenFd);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/media.ts"; }

    std::atomic<int> connections { 0 };

private:
    void run()
    {
        while (!stopping) {
            pollfd p { listenFd, POLLIN, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++connections;
            serve(fd);
            ::close(fd);
        }
    }

    void serve(int fd)
    {
        std::string request;
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd p { fd, POLLIN, 0 };
            if (stopping || ::poll(&p, 1, 1000) <= 0)
                return;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            request.append(buf, size_t(n));
        }
        size_t from = 0;
        const size_t range = request.find("Range: bytes=");
        if (range != std::string::npos)
            from = std::min<size_t>(std::stoull(request.substr(range + 13)), body.size());
        std::string head = from > 0 ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from)
                + "-" + std::to_string(body.size() - 1) + "/" + std::to_string(body.size()) + "\r\n"
                                    : std::string("HTTP/1.1 200 OK\r\n");
        head += "Content-Length: " + std::to_string(body.size() - from)
            + "\r\nAccept-Ranges: bytes\r\nContent-Type: video/MP2T\r\nConnection: close\r\n\r\n";
        std::string out = head + body.substr(from);
        size_t done = 0;
        while (done < out.size() && !stopping) {
            pollfd p { fd, POLLOUT, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::send(fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += size_t(n);
        }
    }

    std::string body;
    int listenFd = -1;
    int port = 0;
    std::atomic<bool> stopping { false };
    std::thread thread;
};

} // namespace

TEST(MediaSession, EbuR128DoesNotMeasureNetworkAddresses)
{
    // The same open and play with normalisation off and on must make the same connections: a measurement would
    // open the address a second time.
    FileServer server(kvr::test::readFile(kvr::test::fixture("start-offset.ts")));
    int connections[2] = { 0, 0 };
    for (int on = 0; on < 2; ++on) {
        auto session = makeSession();
        if (on)
            session->setAudioEffects(ebuR128());
        const int before = server.connections.load();
        const size_t from = logText().size();
        ASSERT_TRUE(session->open(server.url(), 0)) << session->lastError();
        session->play();
        std::this_thread::sleep_for(1s);
        session->close();
        connections[on] = server.connections.load() - before;
        EXPECT_EQ(countOf(logText().substr(from), "Loudness:"), 0u);
    }
    EXPECT_EQ(connections[1], connections[0]);
}
