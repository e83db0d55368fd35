#include "tests/qml/common/QmlTestBench.h"

#include "app/Application.h"
#include "app/CommandLine.h"
#include "engine/Logging.h"
#include "tests/qml/common/TestKit.h"
#include "tests/support/TestSupport.h"
#include "ui/bridge/MediaSessionBridge.h"

#include <QCoreApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QSettings>

#include <clocale>

namespace kvr::test {

QmlTestBench::QmlTestBench()
{
    isolateEnvironment();
    // Before any thread: the first engine object would set spdlog's default logger up on whichever thread made
    // it, while other threads already log through the old one.
    kvr::engine::init_logging();
    // An update check in a test asks a closed loopback port unless the test serves a feed itself: no test
    // process looks up or reaches the real feed.
    qputenv("KESTRUNE_UPDATE_FEED", "http://127.0.0.1:1/feed.json");
}

QmlTestBench::~QmlTestBench() = default;

void QmlTestBench::applicationAvailable()
{
    // As main does: the C decimal point for FFmpeg's texts, the names that place the settings, the style.
    std::setlocale(LC_NUMERIC, "C");
    QCoreApplication::setApplicationName(QStringLiteral("Kestrune Media Player"));
    QCoreApplication::setOrganizationName(QStringLiteral("Kestrune"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("kestrune.example"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kvr::app::kApplicationVersion));
    QQuickStyle::setStyle(QStringLiteral("Basic"));

    // No test process may ever send discovery packets: casting is off before the cast session reads it.
    QSettings settings;
    settings.setValue(QStringLiteral("cast/enabled"), false);
    settings.setValue(QStringLiteral("cast/discoverOnStart"), false);
    settings.sync();

    kit_ = std::make_unique<TestKit>();
    kit_->catchOpenedUrls();
}

void QmlTestBench::qmlEngineAvailable(QQmlEngine* engine)
{
    if (app_) {
        qFatal("QmlTestBench: one engine per process; run one test file at a time");
        return;
    }
    app_ = std::make_unique<kvr::app::Application>(nullptr);
    app_->createServices(*engine);
    engine->rootContext()->setContextProperty(QStringLiteral("TestKit"), kit_.get());
}

void QmlTestBench::cleanupTestCase()
{
    // The test windows are gone; the services go while the application object still exists.
    if (app_) {
        app_->bridge()->stop();
        app_.reset();
    }
    kit_.reset();
}

} // namespace kvr::test
