// Qt Quick Test runner for the dialogs: each test file runs against the program's real services.
#include "tests/qml/common/QmlTestBench.h"
#include "tests/platform/FakePortal.h"
#include "tests/qml/dialogs/AirPlayTestReceiver.h"

#include <QSettings>
#include <QString>
#include <QtQml>
#include <QtQuickTest>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A test file that puts a fake desktop portal on the session bus runs on a bus of its own (KVR_TEST_PRIVATE_BUS
// on its CMake entry): on the shared bus every file dialog of every other test would ask it. Started during
// static initialisation, before Qt first reads the bus address.
struct PrivateSessionBus {
    pid_t pid = -1;

    PrivateSessionBus()
    {
        if (!std::getenv("KVR_TEST_PRIVATE_BUS"))
            return;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            // The daemon goes with this process, even when a test crashes.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::dup2(fds[1], 3);
            ::fcntl(3, F_SETFD, 0);
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0)
                ::dup2(null, 2);
            ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3",
                static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string address;
        char c = 0;
        pollfd pfd { fds[0], POLLIN, 0 };
        while (pid > 0 && ::poll(&pfd, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n')
            address += c;
        ::close(fds[0]);
        if (address.empty()) {
            std::fprintf(stderr, "tests: could not start a private session bus\n");
            return;
        }
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }

    ~PrivateSessionBus()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

PrivateSessionBus privateBus;

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
