// The way out of a long session: every secondary window open, playback, a conversion, a cast and a library scan
// running, then the quit the user gives (Ctrl+Q, answering the quit prompt) or the desktop's SIGTERM. The event
// loop must end and every thread of ours must be joined, within the shutdown's own bounded waits.
#include "app/Application.h"
#include "app/QuitOnSignal.h"
#include "qml/QmlModule.h"
#include "tests/app/WindowPart.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/LoopbackHttpServer.h"
#include "tests/ui/cast/CastSessionTestSupport.h"
#include "tests/ui/cast/SoapRenderer.h"
#include "ui/bridge/MediaSessionBridge.h"
#include "ui/convert/TranscodeQueue.h"
#include "ui/cast/CastSession.h"
#include "ui/library/Library.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

using kvr::app::Application;
using State = kvr::ui::MediaSessionBridge::State;

namespace {

constexpr int kGenerousMs = 30000;

QString fixturePath(const char* name)
{
    return QString::fromStdString(kvr::test::fixture(name).string());
}

QString scratchPath(const QString& name)
{
    return QString::fromStdString(kvr::test::scratchDirectory().string()) + QLatin1Char('/') + name;
}

// Names of this process's threads that are ours ("kvr-…"), but for the sound server connection's loop: that
// connection is shared by the whole process and ends with it.
QStringList ourThreads()
{
    QStringList names;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        QString comm = QString::fromStdString(kvr::test::readFile(task.path() / "comm")).trimmed();
        if (comm.startsWith(QLatin1String("kvr-")) && comm != QLatin1String("kvr-pulse"))
            names << comm;
    }
    return names;
}

template <typename T> T* service(Application& app, const char* name)
{
    return qobject_cast<T*>(
        app.qmlEngine()->rootContext()->contextProperty(QString::fromLatin1(name)).value<QObject*>());
}

enum class Way { CtrlQ, Sigterm };

class ApplicationLongSession : public ::testing::TestWithParam<Way> { };

} // namespace

TEST_P(ApplicationLongSession, QuitEndsEverythingWithEveryWindowOpenAndEveryServiceBusy)
{
    const QString music = scratchPath(QStringLiteral("Music"));
    ASSERT_TRUE(QDir().mkpath(music));
    for (const char* name : { "clip.mp4", "tags.ogg", "cover.mp3", "tone6.mkv" })
        ASSERT_TRUE(QFile::copy(fixturePath(name), music + QLatin1Char('/') + QLatin1String(name)));
    const QString toConvert = scratchPath(QStringLiteral("long.mp4"));
    ASSERT_TRUE(QFile::copy(fixturePath("thirty-seconds.mp4"), toConvert));
    kvr::test::SoapRenderer renderer;
    kvr::test::LoopbackHttpServer descriptions;
    descriptions.answer("/desc.xml", 200, kvr::test::loftDescription(renderer.url(QStringLiteral("/avt"))));

    auto app = std::make_unique<Application>(nullptr);
    ASSERT_TRUE(app->start({}, kvr::qml::mainComponentUrl()));
    QQuickWindow* window = app->window();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    auto* queue = service<kvr::ui::TranscodeQueue>(*app, "Converter");
    auto* library = service<kvr::ui::library::Library>(*app, "Library");
    auto* cast = service<kvr::ui::cast::CastSession>(*app, "Cast");
    ASSERT_TRUE(queue && library && cast);

    // A file on repeat.
    app->bridge()->restorePlaylist({ fixturePath("thirty-seconds.mp4") }, 0);
    app->bridge()->openEntry(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->bridge()->state() == State::Playing; }, kGenerousMs));

    // Every secondary window, opened as its menu entry opens it.
    const struct {
        const char* name;
        const char* opener;
    } windows[] = {
        { "fxDialog", "openDialog" },
        { "librarySettings", "openWindow" },
        { "castWindow", "openWindow" },
        { "queueWindow", "openWindow" },
    };
    for (const auto& w : windows) {
        auto* secondary = qobject_cast<QQuickWindow*>(kvr::test::windowPart(window, QString::fromLatin1(w.name)));
        ASSERT_NE(secondary, nullptr) << w.name;
        ASSERT_TRUE(QMetaObject::invokeMethod(secondary, w.opener)) << w.name;
        ASSERT_TRUE(QTest::qWaitForWindowExposed(secondary)) << w.name;
    }
    auto* convert = qobject_cast<QQuickWindow*>(kvr::test::windowPart(window, QStringLiteral("convertDialog")));
    ASSERT_NE(convert, nullptr);
    ASSERT_TRUE(QMetaObject::invokeMethod(convert, "openWith", Q_ARG(QVariant, QStringList { toConvert })));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(convert));

    // A conversion, a library scan and a cast, all under way.
    ASSERT_EQ(queue->addJobs({ toConvert }, {}), 1);
    ASSERT_TRUE(library->addFolder(music));
    library->scanNow();
    cast->addManual(QStringLiteral("dlna"), descriptions.url(QStringLiteral("/desc.xml")).toString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return cast->discovery().device("dlna:uuid:loft") != nullptr; }, kGenerousMs));
    cast->start(QStringLiteral("dlna:uuid:loft"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return cast->active() || cast->busy(); }, kGenerousMs));
    ASSERT_EQ(queue->running(), 1);

    const QMetaObject::Connection saving = QObject::connect(
        qApp, &QCoreApplication::aboutToQuit, qApp, [&app] { app->saveSessionOnQuit(); }, Qt::DirectConnection);
    kvr::app::QuitOnSignal quitOnSignal;
    QElapsedTimer sinceQuit;
    QTimer answer;
    if (GetParam() == Way::CtrlQ) {
        // The key goes to the main window, as the user gives it; the running conversion brings up the prompt,
        // answered as "pause the queue and quit".
        window->requestActivate();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        QTimer::singleShot(0, window, [&] {
            sinceQuit.start();
            QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
        });
        QObject::connect(&answer, &QTimer::timeout, window, [&] {
            QObject* prompt = window->findChild<QObject*>(QStringLiteral("quitPrompt"));
            auto* button = window->findChild<QQuickItem*>(QStringLiteral("pauseQueueButton"));
            if (!prompt || !prompt->property("opened").toBool() || !button || !button->isVisible())
                return;
            answer.stop();
            const QPointF centre = button->mapToScene(QPointF(button->width() / 2, button->height() / 2));
            QTest::mouseClick(window, Qt::LeftButton, {}, centre.toPoint());
        });
        answer.start(50);
    } else {
        QTimer::singleShot(0, window, [&] {
            sinceQuit.start();
            ::kill(::getpid(), SIGTERM);
        });
    }
    // A quit that something refused leaves the loop running: end it here so the test reports it.
    bool refused = false;
    QTimer refusal;
    refusal.setSingleShot(true);
    QObject::connect(&refusal, &QTimer::timeout, [&] {
        refused = true;
        QCoreApplication::exit(1);
    });
    refusal.start(2 * kGenerousMs);
    QCoreApplication::exec();
    refusal.stop();
    answer.stop();
    QObject::disconnect(saving);
    const qint64 loopEndedMs = sinceQuit.elapsed();
    ASSERT_FALSE(refused) << "the quit was refused: the process would stay";

    app.reset();
    const qint64 tornDownMs = sinceQuit.elapsed();
    EXPECT_EQ(ourThreads(), QStringList {});
    // Generous for a loaded machine; a join on a thread stuck for good never returns at all.
    EXPECT_LT(tornDownMs, kGenerousMs) << "loop ended after " << loopEndedMs << " ms";
}

INSTANTIATE_TEST_SUITE_P(Ways, ApplicationLongSession, ::testing::Values(Way::CtrlQ, Way::Sigterm),
    [](const ::testing::TestParamInfo<Way>& info) { return info.param == Way::CtrlQ ? "CtrlQ" : "Sigterm"; });
