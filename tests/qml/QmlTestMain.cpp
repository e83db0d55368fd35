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

public slots:
    // The window keeps view settings: they go to this run's own directory, under the program's names. Logging is
    // set up before any engine object or thread of ours could log.
    void applicationAvailable()
    {
        kvr::test::isolateEnvironment();
        kvr::engine::init_logging();
        QCoreApplication::setOrganizationName(QStringLiteral("Kestrune"));
        QCoreApplication::setApplicationName(QStringLiteral("Kestrune Media Player"));
    }

    void qmlEngineAvailable(QQmlEngine* engine) { kvr::qml::prepareEngine(*engine); }
};

QUICK_TEST_MAIN_WITH_SETUP(kvr_qml, QmlTestSetup)

#include "QmlTestMain.moc"
