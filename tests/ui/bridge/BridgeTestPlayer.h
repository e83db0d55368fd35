#pragma once

// A bridge on a real session for the bridge's tests, and what they share.

#include "ui/bridge/MediaSessionBridge.h"

#include "engine/MediaSession.h"
#include "platform/audio/VirtualEndpoint.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/LoopbackHttpServer.h"

#include <QObject>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <memory>
#include <string>

namespace kvr::test {

using kvr::ui::MediaSessionBridge;

inline QString fixturePath(const char* name)
{
    return QString::fromStdString(fixture(name).string());
}

inline QString scratchPath(const QString& name)
{
    return QString::fromStdString(scratchDirectory().string()) + QLatin1Char('/') + name;
}

// A bridge on a real session whose audio goes to a silent endpoint paced by the steady clock. The session
// outlives the bridge, as in the application.
struct Player {
    kvr::engine::MediaSession session { [] {
        return kvr::platform::audio::makeSilentEnumerator(kvr::platform::audio::MixFormat {});
    } };
    std::unique_ptr<MediaSessionBridge> bridge = std::make_unique<MediaSessionBridge>();
    // Stands in for the video sink, which takes the due frames; a full frame queue never reaches its end.
    QTimer sink;

    Player()
    {
        bridge->setSession(&session);
        QObject::connect(&sink, &QTimer::timeout, [this] {
            if (bridge)
                bridge->takeFrame(bridge->videoClockUs(), false);
        });
        sink.start(15);
    }

    bool waitFor(MediaSessionBridge::State s, int ms = 10000)
    {
        return QTest::qWaitFor([&] { return bridge->state() == s; }, ms);
    }

    // Transport requests are dropped while the open thread still holds the engine (it lets go only after
    // starting playback), so these repeat them until they took effect.
    bool seekTo(qint64 us)
    {
        const bool asked = QTest::qWaitFor(
            [&] {
                bridge->seekUs(us);
                return bridge->reopening();
            },
            5000);
        return asked
            && QTest::qWaitFor(
                [&] {
                    return !bridge->reopening() && session.clockUs() >= us
                        && bridge->state() == MediaSessionBridge::State::Playing;
                },
                10000);
    }
    bool pauseNow()
    {
        return QTest::qWaitFor(
            [&] {
                bridge->pause();
                return bridge->state() == MediaSessionBridge::State::Paused;
            },
            5000);
    }
};

// Collects the osd texts.
struct OsdLog {
    QStringList texts;
    explicit OsdLog(MediaSessionBridge& bridge)
    {
        QObject::connect(&bridge, &MediaSessionBridge::osd, &bridge, [this](const QString& t) { texts << t; });
    }
};

// A player whose open is stuck on an HTTP server that accepted the request and never answers.
struct StalledOpen {
    LoopbackHttpServer server;
    Player p;

    StalledOpen()
    {
        server.hang("/stalled.mp4");
        p.bridge->restorePlaylist({ server.url("/stalled.mp4").toString() }, -1);
    }

    bool start()
    {
        return p.bridge->openEntry(0) && QTest::qWaitFor([&] { return !server.requests().isEmpty(); }, 5000)
            && p.bridge->state() == MediaSessionBridge::State::Opening;
    }
};

} // namespace kvr::test
