// Qt Quick Test runner for the library interface: each test file runs against the real library, opened on a
// freshly seeded database, and a player that records what it is asked to play.
#include "app/CommandLine.h"
#include "engine/Logging.h"
#include "qml/QmlModule.h"
#include "tests/qml/common/TestKit.h"
#include "tests/qml/library/RecordingPlayer.h"
#include "tests/qml/library/TestLibrary.h"
#include "tests/support/TestSupport.h"
#include "ui/library/LibraryImageProvider.h"

#include <QCoreApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QStandardPaths>
#include <QtQuickTest>

#include <clocale>
#include <memory>

class LibraryBench : public QObject {
    Q_OBJECT

public:
    // Before the application object: the environment is this process's own before anything reads it.
    LibraryBench()
    {
        kvr::test::isolateEnvironment();
        // Before any thread, so no engine object sets the default logger up while another thread logs.
        kvr::engine::init_logging();
    }

public slots:
    void applicationAvailable()
    {
        std::setlocale(LC_NUMERIC, "C");
        QCoreApplication::setApplicationName(QStringLiteral("Kestrune Media Player"));
        QCoreApplication::setOrganizationName(QStringLiteral("Kestrune"));
        QCoreApplication::setOrganizationDomain(QStringLiteral("kestrune.example"));
        QCoreApplication::setApplicationVersion(QString::fromLatin1(kvr::app::kApplicationVersion));
        QQuickStyle::setStyle(QStringLiteral("Basic"));
        kit_ = std::make_unique<kvr::test::TestKit>();
        kit_->catchOpenedUrls();
    }

    void qmlEngineAvailable(QQmlEngine* engine)
    {
        if (library_) {
            qFatal("LibraryBench: one engine per process; run one test file at a time");
            return;
        }
        kvr::qml::prepareEngine(*engine);
        QQmlContext* context = engine->rootContext();
        player_ = std::make_unique<kvr::test::RecordingPlayer>();
        library_ = std::make_unique<kvr::test::TestLibrary>(context, player_.get());
        context->setContextProperty(QStringLiteral("Player"), player_.get());
        context->setContextProperty(QStringLiteral("TestKit"), kit_.get());
        context->setContextProperty(QStringLiteral("TestLibrary"), library_.get());
        if (!library_->reopen())
            qFatal("LibraryBench: the seed library could not be written");
        engine->addImageProvider(QStringLiteral("library"),
            new kvr::ui::library::LibraryImageProvider(
                QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/covers")));
    }

    void cleanupTestCase()
    {
        library_.reset();
        player_.reset();
        kit_.reset();
    }

private:
    std::unique_ptr<kvr::test::TestKit> kit_;
    std::unique_ptr<kvr::test::RecordingPlayer> player_;
    std::unique_ptr<kvr::test::TestLibrary> library_;
};

QUICK_TEST_MAIN_WITH_SETUP(kvr_library_qml, LibraryBench)

#include "LibraryTestMain.moc"
