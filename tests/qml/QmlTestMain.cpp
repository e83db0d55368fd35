// Qt Quick Test runner for the module "Kestrune.MediaPlayer": every engine the tests get knows the module.
#include "qml/QmlModule.h"

#include <QObject>
#include <QQmlEngine>
#include <QtQuickTest>

class QmlTestSetup : public QObject {
    Q_OBJECT

public slots:
    void qmlEngineAvailable(QQmlEngine* engine) { kvr::qml::prepareEngine(*engine); }
};

QUICK_TEST_MAIN_WITH_SETUP(kvr_qml, QmlTestSetup)

#include "QmlTestMain.moc"
