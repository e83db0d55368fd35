// A sound server that accepts the connection and never answers: the session waits out the connect time-out once,
// plays on silently, and leaves that server alone for the following opens and seeks.
#include "tests/engine/MediaSessionTestSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kvr::test::session;
using kvr::test::fixture;
using kvr::test::scratchDirectory;

namespace {

// Listens on a Unix socket and never reads: connections wait in its backlog, where they can be counted.
class HangingServer {
public:
    explicit HangingServer(const std::string& path)
    {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0)) {
            ::close(fd);
            fd = -1;
        }
    }
    ~HangingServer()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool ok() const { return fd >= 0; }
    // Connections made so far (a client that gave up still left its connection in the backlog).
    int connections()
    {
        int n = 0;
        for (int c; (c = ::accept(fd, nullptr, nullptr)) >= 0; ++n)
            ::close(c);
        return n;
    }

private:
    int fd = -1;
};

} // namespace

TEST(MediaSession, AHangingSoundServerIsTriedOnceAndPlaybackGoesOnSilently)
{
    const std::string path = (scratchDirectory() / "hanging-native").string();
    HangingServer server(path);
    ASSERT_TRUE(server.ok());
    ::setenv("PULSE_SERVER", ("unix:" + path).c_str(), 1);
    MediaSession session; // the default endpoints, as the player uses them
    const std::string clip = fixture("clip.mp4").string();
    const auto firstOpen = Clock::now();

    for (int open = 0; open < 2; ++open) {
        SCOPED_TRACE(open);
        ASSERT_TRUE(session.open(clip, 0)) << session.lastError();
        session.play();
        ASSERT_TRUE(waitFor([&] { return session.clockUs() > 300'000; }, 10s)) << "the silent endpoint keeps time";
    }
    ASSERT_TRUE(session.seek(1'500'000)) << session.lastError();
    RenderLoop render(session);
    EXPECT_TRUE(waitFor([&] { return session.clockUs() > 1'900'000; }, 10s)) << "playback goes on after the seek";
    render.stop();
    EXPECT_FALSE(render.shown().empty()) << "pictures are shown";
    session.close();

    ASSERT_LT(Clock::now() - firstOpen, std::chrono::seconds(30)) << "too slow to tell; the server is tried again";
    EXPECT_EQ(server.connections(), 1) << "the server is tried once";
    EXPECT_EQ(countOf(logText(), "AudioEndpoint: no sound server ("), 1u) << logText();
}
