// Qt Quick Test runner for the dialogs: each test file runs against the program's real services.
#include "tests/qml/common/QmlTestBench.h"
#include "tests/qml/dialogs/AirPlayTestReceiver.h"

#include <QSettings>
#include <QString>
#include <QtQml>
#include <QtQuickTest>

// The bench, plus the receivers on 127.0.0.1 that a test file may create, and settings a test file needs in
// store before the services read them: KVR_TEST_SETTINGS holds "key=value" pairs separated by ";" (set on the
// test's CMake entry).
class DialogsBench : public kvr::test::QmlTestBench {
    Q_OBJECT

public:
    DialogsBench() { qmlRegisterType<kvr::test::AirPlayTestReceiver>("Kestrune.Test", 1, 0, "AirPlayTestReceiver"); }

public slots:
    void applicationAvailable()
    {
        QmlTestBench::applicationAvailable();
        QSettings settings;
        const QStringList pairs = qEnvironmentVariable("KVR_TEST_SETTINGS").split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (const QString& pair : pairs) {
            const qsizetype at = pair.indexOf(QLatin1Char('='));
            if (at > 0)
                settings.setValue(pair.left(at), pair.mid(at + 1));
        }
        settings.sync();
    }
};

QUICK_TEST_MAIN_WITH_SETUP(kvr_dialogs, DialogsBench)

#include "DialogsTestMain.moc"
