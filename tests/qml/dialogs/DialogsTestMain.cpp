// Qt Quick Test runner for the dialogs: each test file runs against the program's real services.
#include "tests/qml/common/QmlTestBench.h"
#include "tests/platform/FakePortal.h"
#include "tests/qml/dialogs/AirPlayTestReceiver.h"
#include "tests/support/PrivateSessionBus.h"

#include <QSettings>
#include <QString>
#include <QtQml>
#include <QtQuickTest>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A test file that puts a fake desktop portal on the session bus runs on a bus of its own (KVR_TEST_PRIVATE_BUS
// on its CMake entry): on the shared bus every file dialog of every other test would ask it. Started during
// static initialisation, before Qt first reads the bus address.
struct OwnBusWhenAsked {
    kvr::test::PrivateSessionBus bus;
    OwnBusWhenAsked()
    {
        if (std::getenv("KVR_TEST_PRIVATE_BUS"))
            bus.start();
    }
};

OwnBusWhenAsked privateBus;

} // namespace

// The bench, plus the receivers on 127.0.0.1 that a test file may create, and settings a test file needs in
// store before the services read them: KVR_TEST_SETTINGS holds "key=value" pairs separated by ";" (set on the
// test's CMake entry).
class DialogsBench : public kvr::test::QmlTestBench {
    Q_OBJECT

public:
    DialogsBench()
    {
        qmlRegisterType<kvr::test::AirPlayTestReceiver>("Kestrune.Test", 1, 0, "AirPlayTestReceiver");
        qmlRegisterType<kvr::test::FakePortal>("Kestrune.Test", 1, 0, "FakePortal");
    }

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
