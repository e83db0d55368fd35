#include "platform/audio/AudioEndpoint.h"
#include "platform/audio/PulseEndpoint.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace kvr::platform::audio;
using namespace std::chrono_literals;

namespace {

// Routes the default logger into a string for the test.
struct LogCapture {
    LogCapture()
    {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(text);
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("kvr", sink));
    }
    std::string str() const { return text.str(); }
    std::ostringstream text;
};

// A socket that accepts connections into its backlog and never says a word: a server that hangs.
int silentServer(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0)
        return -1;
    return fd;
}

} // namespace

// With no server to talk to, the default endpoint is a silent one that still takes audio in real time, found
// within the connect time-out.
TEST(DefaultEndpoint, FallsBackToASilentEndpointWithoutASoundServer)
{
    const std::string dir = kvr::test::scratchDirectory().string();
    const int hanging = silentServer(dir + "/hanging");
    ASSERT_GE(hanging, 0);
    const char* servers[] = { "unix:/nonexistent/kvr/native", nullptr };
    const std::string hangingServer = "unix:" + dir + "/hanging";
    servers[1] = hangingServer.c_str();
    for (const char* server : servers) {
        SCOPED_TRACE(server);
        ::setenv("PULSE_SERVER", server, 1);
        LogCapture log;
        const auto started = std::chrono::steady_clock::now();
        auto enumerator = createDeviceEnumerator();
        const auto took = std::chrono::steady_clock::now() - started;
        // Given up at the time-out, not left waiting on the server; a busy machine adds to the time-out itself.
        EXPECT_LE(took, 2 * connectTimeout);
        EXPECT_NE(log.str().find("[warning] AudioEndpoint: no sound server ("), std::string::npos) << log.str();
        EXPECT_NE(log.str().find("playing without sound"), std::string::npos);

        ASSERT_TRUE(enumerator);
        // The endpoint's thread signals the event until the client is gone, so the event outlives the client.
        Event event(Event::Reset::Automatic);
        std::unique_ptr<Device> device;
        ASSERT_EQ(enumerator->getDefaultAudioEndpoint(device), Status::Ok);
        std::unique_ptr<AudioClient> client;
        ASSERT_EQ(device->activate(client), Status::Ok);
        MixFormat mix;
        ASSERT_EQ(client->getMixFormat(mix), Status::Ok);
        EXPECT_EQ(mix, MixFormat {});
        ASSERT_EQ(client->initialize(mix, 200ms), Status::Ok);
        ASSERT_EQ(client->setEventHandle(&event), Status::Ok);
        std::unique_ptr<RenderClient> render;
        ASSERT_EQ(client->getService(render), Status::Ok);
        uint8_t* data = nullptr;
        ASSERT_EQ(render->getBuffer(9600, data), Status::Ok);
        ASSERT_EQ(render->releaseBuffer(9600, true), Status::Ok);
        ASSERT_EQ(client->start(), Status::Ok);
        EXPECT_TRUE(event.wait(10s)) << "the silent endpoint asks for more as time passes";
        std::this_thread::sleep_for(100ms);
        uint32_t padding = 0;
        ASSERT_EQ(client->getCurrentPadding(padding), Status::Ok);
        EXPECT_LT(padding, 9600u);
    }
    ::close(hanging);
}

TEST(PulseEndpoint, OffersFloatAtTheDefaultSinksRateAndChannels)
{
    ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "the test run starts a server";
    std::string error;
    auto enumerator = connectPulse(connectTimeout, error);
    ASSERT_TRUE(enumerator) << error;
    std::unique_ptr<Device> device;
    ASSERT_EQ(enumerator->getDefaultAudioEndpoint(device), Status::Ok);
    std::unique_ptr<AudioClient> client;
    ASSERT_EQ(device->activate(client), Status::Ok);
    MixFormat mix;
    ASSERT_EQ(client->getMixFormat(mix), Status::Ok);
    // The test sink is 16-bit, 48 kHz stereo; the server converts from float.
    EXPECT_EQ(mix.sampleType, SampleType::Float32);
    EXPECT_EQ(mix.sampleRate, 48000);
    EXPECT_EQ(mix.channels, 2);

    MixFormat surround = mix;
    surround.channels = 6;
    MixFormat integer = mix;
    integer.sampleType = SampleType::Int16;
    EXPECT_TRUE(client->isFormatSupported(surround));
    EXPECT_FALSE(client->isFormatSupported(integer));

    ASSERT_EQ(client->initialize(mix, 200ms), Status::Ok);
    uint32_t frames = 0;
    ASSERT_EQ(client->getBufferSize(frames), Status::Ok);
    EXPECT_EQ(frames, 9600u);
    uint32_t padding = 1;
    ASSERT_EQ(client->getCurrentPadding(padding), Status::Ok);
    EXPECT_EQ(padding, 0u);
}
