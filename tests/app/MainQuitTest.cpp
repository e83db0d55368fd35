// The main window's way out while conversions run: the closing handler, the quit prompt and the quits that
// follow it, on the real program with a double for the conversion queue. Outside a running event loop a quit
// ends nothing, so the engine's quit signal is what the tests watch.
#include "app/Application.h"
#include "qml/QmlModule.h"
#include "tests/support/TestSupport.h"
#include "tests/app/QuitPromptFixture.h"
#include "tests/support/qt/ServiceDoubles.h"
#include "ui/bridge/MediaSessionBridge.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

using kvr::app::Application;
using kvr::test::ConverterDouble;
using State = kvr::ui::MediaSessionBridge::State;

namespace {

constexpr int kGenerousMs = 30000;

QString fixturePath(const char* name)
{
    return QString::fromStdString(kvr::test::fixture(name).string());
}

QVariantMap job(int id, const char* state)
{
    return { { QStringLiteral("id"), id }, { QStringLiteral("state"), QString::fromLatin1(state) } };
}

class MainQuit : public kvr::test::QuitPromptFixture {
protected:
    void setQueue(int running, int pending, bool paused = false)
    {
        converter.setProperty("running", running);
        converter.setProperty("pending", pending);
        converter.setProperty("paused", paused);
    }

    // Closes the window as its frame would and waits for the prompt; false when the close went through.
    bool closeToPrompt()
    {
        if (window->close())
            return false;
        return QTest::qWaitFor([&] { return promptOpen(); }, kGenerousMs);
    }

    void click(const char* name)
    {
        auto* button = window->findChild<QQuickItem*>(QString::fromLatin1(name));
        ASSERT_NE(button, nullptr) << name;
        const QPointF centre = button->mapToScene(QPointF(button->width() / 2, button->height() / 2));
        QTest::mouseClick(window, Qt::LeftButton, {}, centre.toPoint());
    }

    QString osdText() const
    {
        QObject* text = window->findChild<QObject*>(QStringLiteral("osdText"));
        return text ? text->property("text").toString() : QString();
    }

    // Lets queued work run for a while, so that a quit that should not come has had its chance.
    static void settle() { QTest::qWait(300); }
};

} // namespace

// One conversion running holds the window and the prompt counts it; waiting jobs alone do not.
TEST_F(MainQuit, CloseAsksOnlyWhileAConversionRuns)
{
    setQueue(1, 2);
    ASSERT_TRUE(closeToPrompt());
    EXPECT_TRUE(window->isVisible());
    QObject* text = window->findChild<QObject*>(QStringLiteral("quitPromptText"));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->property("text").toString(), "1 conversion(s) running, 2 waiting.");
    QMetaObject::invokeMethod(prompt, "close");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !prompt->property("visible").toBool(); }, kGenerousMs));

    setQueue(0, 2);
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(promptOpen());
    EXPECT_EQ(quits->count(), 0);
}

// "Don't quit", Esc and a click beside the prompt all leave everything as it was.
TEST_F(MainQuit, DeclinedPromptChangesNothing)
{
    ASSERT_TRUE(qEnvironmentVariableIsSet("PULSE_SERVER")) << "run under scripts/test.sh";
    app->bridge()->restorePlaylist({ fixturePath("thirty-seconds.mp4") }, 0);
    app->bridge()->openEntry(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->bridge()->state() == State::Playing; }, kGenerousMs));
    converter.setProperty("jobs", QVariantList { job(1, "running"), job(2, "pending") });
    setQueue(1, 1);
    const std::pair<const char*, std::function<void()>> ways[] = {
        { "Don't quit", [&] { click("dontQuitButton"); } },
        { "Esc", [&] { QTest::keyClick(window, Qt::Key_Escape); } },
        { "click outside", [&] { QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(8, 8)); } },
    };
    for (const auto& [way, decline] : ways) {
        SCOPED_TRACE(way);
        ASSERT_TRUE(closeToPrompt());
        decline();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !prompt->property("visible").toBool(); }, kGenerousMs));
        settle();
        EXPECT_EQ(quits->count(), 0);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(app->bridge()->state(), State::Playing);
        EXPECT_TRUE(converter.property("calls").toStringList().isEmpty());
        EXPECT_FALSE(converter.property("paused").toBool());
        EXPECT_FALSE(window->property("quitWhenIdle").toBool());
        EXPECT_FALSE(window->property("forceQuit").toBool());
    }
}

// The player stops and the window goes; the quit comes once nothing runs and nothing will start, and a
// failure on the way still has its message.
TEST_F(MainQuit, KeepConvertingQuitsOnceTheQueueIsIdle)
{
    ASSERT_TRUE(qEnvironmentVariableIsSet("PULSE_SERVER")) << "run under scripts/test.sh";
    app->bridge()->restorePlaylist({ fixturePath("thirty-seconds.mp4") }, 0);
    app->bridge()->openEntry(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->bridge()->state() == State::Playing; }, kGenerousMs));
    QSignalSpy lastWindow(qGuiApp, &QGuiApplication::lastWindowClosed);
    setQueue(1, 2);
    ASSERT_TRUE(closeToPrompt());
    click("keepConvertingButton");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, kGenerousMs));
    EXPECT_FALSE(app->bridge()->hasMedia());
    EXPECT_TRUE(window->property("quitWhenIdle").toBool());
    // Hidden is not closed: the program goes on without its window.
    EXPECT_EQ(lastWindow.count(), 0);

    setQueue(1, 1);
    converter.finish(1, false, QStringLiteral("No space left on device"));
    EXPECT_EQ(osdText(), "Conversion failed: No space left on device");
    setQueue(0, 1);
    converter.finish(2, true, QStringLiteral("b_converted.mp4"));
    settle();
    EXPECT_EQ(quits->count(), 0) << "a waiting job is about to start";
    setQueue(0, 0);
    converter.finish(3, true, QStringLiteral("c_converted.mp4"));
    EXPECT_EQ(quits->count(), 1);
    EXPECT_EQ(osdText(), "Converted: c_converted.mp4");
}

// When no job end will come: the last one ended while the prompt was open, or the queue is paused with jobs
// waiting.
TEST_F(MainQuit, KeepConvertingQuitsWithoutWaitingForNothing)
{
    const struct {
        const char* name;
        int running;
        int pending;
        bool paused;
        bool atOnce;
    } table[] = {
        { "ended while asking", 0, 0, false, true },
        { "paused, nothing runs", 0, 3, true, true },
        { "paused, one runs", 1, 3, true, false },
        { "waiting jobs will start", 0, 1, false, false },
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        setQueue(1, row.pending, row.paused);
        ASSERT_TRUE(closeToPrompt());
        setQueue(row.running, row.pending, row.paused);
        click("keepConvertingButton");
        ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, kGenerousMs));
        settle();
        EXPECT_EQ(quits->count(), row.atOnce ? 1 : 0);
        if (row.atOnce)
            continue;
        if (row.paused) {
            setQueue(0, row.pending, true);
            converter.finish(1, true, QStringLiteral("a_converted.mp4"));
            EXPECT_EQ(quits->count(), 1);
        }
    }
}

// Files handed over by a later launch bring the window back, and the program no longer quits by itself.
TEST_F(MainQuit, ReceivedFilesEndTheBackgroundWait)
{
    setQueue(1, 0);
    ASSERT_TRUE(closeToPrompt());
    click("keepConvertingButton");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, kGenerousMs));

    app->openReceivedFiles({ fixturePath("tone6.mkv") });
    EXPECT_TRUE(window->isVisible());
    // At once, before the window has heard that it shows again.
    setQueue(0, 0);
    converter.finish(1, true, QStringLiteral("a_converted.mp4"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return app->bridge()->playlistCount() == 1; }, kGenerousMs));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->property("quitWhenIdle").toBool(); }, kGenerousMs));
    converter.finish(2, true, QStringLiteral("b_converted.mp4"));
    settle();
    EXPECT_EQ(quits->count(), 0);
}

TEST_F(MainQuit, PauseQueueQuits)
{
    setQueue(1, 2);
    ASSERT_TRUE(closeToPrompt());
    click("pauseQueueButton");
    EXPECT_TRUE(converter.property("paused").toBool());
    EXPECT_EQ(quits->count(), 1);
    EXPECT_TRUE(window->property("forceQuit").toBool());
    // The quit's own close goes through.
    EXPECT_TRUE(window->close());
}

// Running and waiting jobs are cancelled, finished ones left; the quit waits for the cancelled job to end,
// so the queue's shutdown does not keep it for the next start.
TEST_F(MainQuit, CancelQuitsOnceTheCancelledJobEnds)
{
    converter.setProperty("jobs",
        QVariantList { job(1, "done"), job(2, "running"), job(3, "pending"), job(4, "failed"), job(5, "cancelled"),
            job(6, "pending") });
    setQueue(1, 2);
    ASSERT_TRUE(closeToPrompt());
    click("cancelConversionsButton");
    EXPECT_EQ(converter.property("calls").toStringList(), (QStringList { "cancel(2)", "cancel(3)", "cancel(6)" }));
    settle();
    EXPECT_EQ(quits->count(), 0) << "the cancelled job still runs";
    EXPECT_FALSE(window->isVisible());

    setQueue(0, 0);
    converter.finish(2, false, QStringLiteral("Cancelled"));
    EXPECT_EQ(quits->count(), 1);
}

TEST_F(MainQuit, CancelQuitsAfterFiveSecondsAtTheLatest)
{
    converter.setProperty("jobs", QVariantList { job(1, "running") });
    setQueue(1, 0);
    ASSERT_TRUE(closeToPrompt());
    QElapsedTimer clock;
    clock.start();
    click("cancelConversionsButton");
    ASSERT_TRUE(QTest::qWaitFor([&] { return quits->count() > 0; }, kGenerousMs));
    EXPECT_GE(clock.elapsed(), 4900);
    EXPECT_EQ(quits->count(), 1);
}

// Shown again by a later launch during the wait, the window stays: the user is back.
TEST_F(MainQuit, ReceivedFilesEndTheWaitAfterCancelling)
{
    converter.setProperty("jobs", QVariantList { job(1, "running") });
    setQueue(1, 0);
    ASSERT_TRUE(closeToPrompt());
    click("cancelConversionsButton");
    ASSERT_FALSE(window->isVisible());
    app->openReceivedFiles({ fixturePath("tone6.mkv") });
    setQueue(0, 0);
    converter.finish(1, false, QStringLiteral("Cancelled"));
    QObject* timer = window->findChild<QObject*>(QStringLiteral("cancelQuitTimer"));
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !timer->property("running").toBool(); }, kGenerousMs));
    EXPECT_FALSE(window->property("forceQuit").toBool());
    settle();
    EXPECT_EQ(quits->count(), 0);
    EXPECT_TRUE(window->isVisible());
}

// Nothing left to wait for after the cancels: the quit comes at once.
TEST_F(MainQuit, CancelWithNothingRunningQuitsAtOnce)
{
    converter.setProperty("jobs", QVariantList { job(3, "pending") });
    setQueue(1, 1);
    ASSERT_TRUE(closeToPrompt());
    setQueue(0, 1);
    click("cancelConversionsButton");
    EXPECT_EQ(converter.property("calls").toStringList(), QStringList { "cancel(3)" });
    EXPECT_EQ(quits->count(), 1);
}

// The About box opens these beside the program.
TEST(MainAbout, LicenceFilesLieBesideTheProgram)
{
    const QString dir = QFileInfo(QStringLiteral(KVR_PLAYER_EXE)).absolutePath();
    for (const char* name : { "LICENSE.txt", "THIRD-PARTY-NOTICES.txt" }) {
        const QFileInfo file(dir + QLatin1Char('/') + QString::fromLatin1(name));
        EXPECT_TRUE(file.isFile()) << name;
        EXPECT_GT(file.size(), 0) << name;
    }
}

// The menu's Exit is the program's quit, the same way out as Ctrl+Q.
TEST_F(MainQuit, ExitEntryQuits)
{
    QObject* bar = window->property("menuBar").value<QObject*>();
    ASSERT_NE(bar, nullptr);
    QObject* exit = bar->findChild<QObject*>(QStringLiteral("exitAction"));
    if (!exit)
        exit = window->findChild<QObject*>(QStringLiteral("exitAction"));
    ASSERT_NE(exit, nullptr);
    setQueue(0, 0);
    QMetaObject::invokeMethod(exit, "trigger");
    EXPECT_EQ(quits->count(), 1);
}
