// The main window driven by the pointer, with the real player behind it.
#include "app/Application.h"
#include "qml/QmlModule.h"
#include "tests/support/TestSupport.h"
#include "ui/Actions.h"
#include "ui/bridge/MediaSessionBridge.h"

#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>
#include <gtest/gtest.h>

using kvr::app::Application;
using State = kvr::ui::MediaSessionBridge::State;

namespace {

QQuickItem* item(Application& app, const char* name)
{
    return app.window()->findChild<QQuickItem*>(QString::fromLatin1(name));
}

// The window point at fraction f of an item's width, on its vertical middle.
QPoint pointAt(QQuickItem* target, double f)
{
    return target->mapToScene(QPointF(target->width() * f, target->height() / 2)).toPoint();
}

// Loads the 45-second fixture and pauses it, so the clock moves only when something seeks.
bool loadPaused(Application& app)
{
    app.bridge()->restorePlaylist({ QString::fromStdString(kvr::test::fixture("forty-five-seconds.mkv").string()) }, 0);
    app.bridge()->openEntry(0);
    if (!QTest::qWaitFor([&] { return app.bridge()->state() == State::Playing && app.bridge()->durationUs() > 0; }, 15000))
        return false;
    // Just after the start the open may still hold the engine, and the bridge drops a request it cannot take the
    // engine for at once: ask again until it lands.
    return QTest::qWaitFor(
        [&] {
            if (app.bridge()->state() == State::Playing)
                app.bridge()->pause();
            return app.bridge()->state() == State::Paused;
        },
        15000);
}

// One wheel event over target's middle with the given angle delta.
void wheel(QQuickWindow* window, QQuickItem* target, QPoint angleDelta)
{
    const QPointF pos = pointAt(target, 0.5);
    QWheelEvent event(pos, window->mapToGlobal(pos), QPoint(), angleDelta, Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(window, &event);
}

} // namespace

// A drag shows the pointer's place at once but seeks only once, on release, to the release point.
TEST(Main, SeekBarSeeksOnceOnRelease)
{
    ASSERT_TRUE(qEnvironmentVariableIsSet("PULSE_SERVER")) << "run under scripts/test.sh";
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    QQuickWindow* window = app.window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    ASSERT_TRUE(loadPaused(app));
    QQuickItem* seekMouse = item(app, "seekMouse");
    QQuickItem* seekArea = item(app, "seekArea");
    ASSERT_NE(seekMouse, nullptr);
    ASSERT_NE(seekArea, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return seekMouse->isEnabled(); }, 2000));

    // Away from both places the drag passes, so a seek during the drag would show.
    const qint64 duration = app.bridge()->durationUs();
    app.bridge()->seekUs(duration * 3 / 4);
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.bridge()->clockUs() > duration * 2 / 3; }, 3000));
    const qint64 before = app.bridge()->clockUs();
    QTest::mouseMove(window, pointAt(seekMouse, 0.8));
    QTest::mousePress(window, Qt::LeftButton, {}, pointAt(seekMouse, 0.8));
    EXPECT_TRUE(seekArea->property("scrubbing").toBool());
    QTest::mouseMove(window, pointAt(seekMouse, 0.5));
    // Dragged past the left end: the place clamps to the start.
    QTest::mouseMove(window, seekMouse->mapToScene(QPointF(-40, seekMouse->height() / 2)).toPoint());
    QTest::qWait(300);
    EXPECT_DOUBLE_EQ(seekArea->property("displayFraction").toDouble(), 0.0);
    EXPECT_NEAR(app.bridge()->clockUs(), before, 200000) << "no seek while dragging";

    QTest::mouseRelease(window, Qt::LeftButton, {}, pointAt(seekMouse, 0.5));
    EXPECT_FALSE(seekArea->property("scrubbing").toBool());
    EXPECT_TRUE(QTest::qWaitFor([&] { return std::abs(app.bridge()->clockUs() - duration / 2) < 1000000; }, 10000))
        << app.bridge()->clockUs() << " of " << duration;
    EXPECT_NEAR(seekArea->property("displayFraction").toDouble(), 0.5, 0.03);
}

// The buttons hand their clicks to the named actions and the player's own settings.
TEST(Main, PlaybackButtonsReachThePlayer)
{
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    QQuickWindow* window = app.window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    QSignalSpy triggered(app.actions(), &kvr::ui::Actions::triggered);
    const struct {
        const char* button;
        const char* action;
    } table[] = {
        { "previousButton", "playlist.previous" },
        { "playButton", "playback.toggle" },
        { "nextButton", "playlist.next" },
        { "stopButton", "playback.stop" },
    };
    for (const auto& row : table) {
        triggered.clear();
        QQuickItem* button = item(app, row.button);
        ASSERT_NE(button, nullptr) << row.button;
        QTest::mouseClick(window, Qt::LeftButton, {}, pointAt(button, 0.5));
        ASSERT_EQ(triggered.size(), 1) << row.button;
        EXPECT_EQ(triggered.at(0).at(0).toString(), QString::fromLatin1(row.action));
    }

    // Three clicks on repeat go round off, one, all, off; the badge marks repeat-one alone.
    QQuickItem* repeat = item(app, "repeatButton");
    QQuickItem* badge = item(app, "repeatOneBadge");
    const int start = app.bridge()->repeatMode();
    app.bridge()->setRepeatMode(0);
    for (const int mode : { 1, 2, 0 }) {
        QTest::mouseClick(window, Qt::LeftButton, {}, pointAt(repeat, 0.5));
        EXPECT_EQ(app.bridge()->repeatMode(), mode);
        EXPECT_EQ(badge->isVisible(), mode == 1) << mode;
    }
    QQuickItem* shuffle = item(app, "shuffleButton");
    const bool shuffled = app.bridge()->shuffle();
    QTest::mouseClick(window, Qt::LeftButton, {}, pointAt(shuffle, 0.5));
    EXPECT_EQ(app.bridge()->shuffle(), !shuffled);
    EXPECT_EQ(shuffle->property("tip").toString(), shuffled ? "Shuffle off" : "Shuffle on");
    app.bridge()->setShuffle(shuffled);
    app.bridge()->setRepeatMode(start);
}

// The mute button and the volume slider act on the player, and the slider follows every change made elsewhere.
TEST(Main, MuteAndVolumeReachThePlayer)
{
    ASSERT_TRUE(qEnvironmentVariableIsSet("PULSE_SERVER")) << "run under scripts/test.sh";
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    QQuickWindow* window = app.window();
    // The transport bar wide enough for the slider: the playlist panel would take 320 of it.
    window->setProperty("playlistVisible", false);
    window->resize(1000, window->height());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    ASSERT_TRUE(loadPaused(app));
    kvr::ui::MediaSessionBridge* player = app.bridge();
    QQuickItem* mute = item(app, "muteButton");
    QQuickItem* slider = item(app, "volSlider");
    QQuickItem* speaker = item(app, "speakerIcon");
    ASSERT_NE(mute, nullptr);
    ASSERT_NE(slider, nullptr);
    ASSERT_NE(speaker, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return slider->isVisible() && slider->width() == 90; }, 2000));
    // The session keeps the volume in single precision.
    const auto sliderValue = [&] { return slider->property("value").toDouble(); };

    // Muting at 60 takes the slider to 0; unmuting brings it back.
    player->setVolume(0.6);
    EXPECT_NEAR(sliderValue(), 60, 1e-4);
    EXPECT_FALSE(speaker->property("silent").toBool());
    QTest::mouseClick(window, Qt::LeftButton, {}, pointAt(mute, 0.5));
    EXPECT_TRUE(player->muted());
    EXPECT_EQ(sliderValue(), 0);
    EXPECT_TRUE(speaker->property("silent").toBool());
    EXPECT_EQ(mute->property("tip").toString(), "Unmute (M)");
    QTest::mouseClick(window, Qt::LeftButton, {}, pointAt(mute, 0.5));
    EXPECT_FALSE(player->muted());
    EXPECT_NEAR(sliderValue(), 60, 1e-4);
    EXPECT_EQ(mute->property("tip").toString(), "Mute (M)");

    // A drag writes the volume as it goes; the handle stays under the pointer and settles on the player's value.
    const QPoint handle = pointAt(slider, 0.6);
    QTest::mousePress(window, Qt::LeftButton, {}, handle);
    for (const double f : { 0.45, 0.3, 0.2 }) {
        QTest::mouseMove(window, pointAt(slider, f));
        EXPECT_NEAR(player->volume() * 100, sliderValue(), 1e-4) << f;
    }
    const double dragged = sliderValue();
    EXPECT_LT(dragged, 40);
    EXPECT_GT(dragged, 5);
    QTest::mouseRelease(window, Qt::LeftButton, {}, pointAt(slider, 0.2));
    EXPECT_NEAR(player->volume(), dragged / 100, 1e-4);
    EXPECT_NEAR(sliderValue(), dragged, 1e-4);

    // Dragged down to 0 without muting: the speaker is silent but the button still offers to mute, and
    // unmuting from a silent volume gives 0.8.
    QTest::mousePress(window, Qt::LeftButton, {}, pointAt(slider, 0.5));
    QTest::mouseMove(window, slider->mapToScene(QPointF(-20, slider->height() / 2)).toPoint());
    QTest::mouseRelease(window, Qt::LeftButton, {}, slider->mapToScene(QPointF(-20, slider->height() / 2)).toPoint());
    EXPECT_EQ(player->volume(), 0);
    EXPECT_FALSE(player->muted());
    EXPECT_TRUE(speaker->property("silent").toBool());
    EXPECT_EQ(mute->property("tip").toString(), "Mute (M)");
    QTest::mouseClick(window, Qt::LeftButton, {}, pointAt(mute, 0.5));
    EXPECT_TRUE(player->muted());
    QTest::mouseClick(window, Qt::LeftButton, {}, pointAt(mute, 0.5));
    EXPECT_FALSE(player->muted());
    EXPECT_NEAR(player->volume(), 0.8, 1e-4);
    EXPECT_NEAR(sliderValue(), 80, 1e-4);
    EXPECT_FALSE(speaker->property("silent").toBool());

    // The wheel makes one 5 % step per event: down while muted stays muted, up unmutes at 5 %.
    player->setVolume(0.6);
    player->setMuted(true);
    wheel(window, slider, QPoint(0, -120));
    EXPECT_TRUE(player->muted());
    EXPECT_EQ(sliderValue(), 0);
    wheel(window, slider, QPoint(0, 360));
    EXPECT_FALSE(player->muted());
    EXPECT_NEAR(player->volume(), 0.05, 1e-4);
    EXPECT_NEAR(sliderValue(), 5, 1e-4);
    // A sideways turn counts as down.
    player->setVolume(0.5);
    wheel(window, slider, QPoint(120, 0));
    EXPECT_NEAR(player->volume(), 0.45, 1e-4);
    // The buttons take no wheel.
    wheel(window, mute, QPoint(0, 120));
    EXPECT_NEAR(player->volume(), 0.45, 1e-4);
}
