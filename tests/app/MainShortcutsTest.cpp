// Ctrl+Q on the real program, inside a running event loop: the quit closes the main window first, and the
// window's closing handler holds it while a conversion runs. (A Qt Quick Test run would end itself on the
// quit, so these cases live here.)
#include "app/Application.h"
#include "qml/QmlModule.h"
#include "tests/support/TestSupport.h"
#include "tests/app/QuitPromptFixture.h"
#include "tests/support/qt/ServiceDoubles.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

using kvr::app::Application;
using kvr::test::ConverterDouble;

namespace {

constexpr int kGenerousMs = 30000;
// Exit codes of the loop when the test, not a quit, ends it.
constexpr int kStayed = 17;
constexpr int kTimedOut = 18;

class MainShortcuts : public kvr::test::QuitPromptFixture {
protected:
    // Ctrl+Q to the main window as the focus window (window shortcuts fire only there), sent once the event
    // loop runs. The loop ends with the quit's code, with kStayed a moment after `settled` holds, or with
    // kTimedOut.
    int pressCtrlQAndRun(const std::function<bool()>& settled)
    {
        QTimer::singleShot(0, window, [this] {
            // Another test process on the same display may hold the focus for a while.
            const bool focused = QTest::qWaitFor(
                [this] {
                    if (QGuiApplication::focusWindow() != window)
                        window->requestActivate();
                    return QGuiApplication::focusWindow() == window;
                },
                kGenerousMs);
            if (!focused) {
                QCoreApplication::exit(kTimedOut);
                return;
            }
            QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
        });
        QTimer poll;
        poll.setInterval(50);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (settled && settled()) {
                poll.stop();
                // Long enough for a quit that should not come to have come.
                QTimer::singleShot(500, [] { QCoreApplication::exit(kStayed); });
            }
        });
        poll.start();
        QTimer::singleShot(kGenerousMs * 2, [] { QCoreApplication::exit(kTimedOut); });
        return QCoreApplication::exec();
    }
};

} // namespace

TEST_F(MainShortcuts, CtrlQQuitsAtOnceWhenNothingRuns)
{
    EXPECT_EQ(pressCtrlQAndRun(nullptr), 0);
    EXPECT_EQ(quits->count(), 1);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(promptOpen());
}

TEST_F(MainShortcuts, CtrlQWhileAConversionRunsAsks)
{
    converter.setProperty("running", 1);
    EXPECT_EQ(pressCtrlQAndRun([this] { return promptOpen(); }), kStayed);
    EXPECT_EQ(quits->count(), 1);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(promptOpen());
}
