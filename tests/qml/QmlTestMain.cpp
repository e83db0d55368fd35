// Qt Quick Test runner for the module "Kestrune.MediaPlayer": every engine the tests get knows the module.
#include "engine/Logging.h"
#include "qml/QmlModule.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QObject>
#include <QQmlEngine>
#include <QtQuickTest>

class QmlTestSetup : public QObject {
    Q_OBJECT

public:
    // Runs before the application object and its threads exist. The window keeps view settings: they go to this
    // run's own directory. Logging is set up before any thread could log or make an engine object.
    QmlTestSetup()
    {
        kvr::test::isolateEnvironment();
        kvr::engine::init_logging();
    }

public slots:
    // The settings are kept under the program's names.
    void applicationAvailable()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Kestrune"));
        QCoreApplication::setApplicationName(QStringLiteral("Kestrune Media Player"));
    }

    void qmlEngineAvailable(QQmlEngine* engine) { kvr::qml::prepareEngine(*engine); }
};

QUICK_TEST_MAIN_WITH_SETUP(kvr_qml, QmlTestSetup)

#include "QmlTestMain.moc"
