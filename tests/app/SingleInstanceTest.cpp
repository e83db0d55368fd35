#include "app/SingleInstance.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <vector>

namespace fs = std::filesystem;
using kvr::app::SingleInstance;

namespace {

QStringList messages;

void collect(QtMsgType, const QMessageLogContext&, const QString& text)
{
    messages.append(text);
}

void setOrUnset(const char* name, const char* value)
{
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

// Reads the probe's output lines until one is there or the time-out passes.
QString firstLineOf(QProcess& p, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!p.canReadLine() && t.elapsed() < timeoutMs)
        p.waitForReadyRead(50);
    return QString::fromUtf8(p.readLine()).trimmed();
}

// waitForFinished is false for a process that an event loop has already seen end.
bool ended(QProcess& p, int timeoutMs)
{
    return p.state() == QProcess::NotRunning || p.waitForFinished(timeoutMs);
}

} // namespace

TEST(SingleInstance, ServerNameFromTheUserName)
{
    struct Case {
        const char* username;
        const char* user;
        const char* name;
    };
    const Case table[] = {
        { "alice", "bob", "KestruneMediaPlayer-alice" },
        { nullptr, "bob", "KestruneMediaPlayer-bob" },
        { "", "bob", "KestruneMediaPlayer-bob" },
        { nullptr, nullptr, "KestruneMediaPlayer-user" },
        { "../a/b c", nullptr, "KestruneMediaPlayer-.._a_b_c" },
        { "zoë", nullptr, "KestruneMediaPlayer-zo_" },
    };
    for (const Case& c : table) {
        setOrUnset("USERNAME", c.username);
        setOrUnset("USER", c.user);
        EXPECT_EQ(SingleInstance::serverName().toStdString(), c.name);
        EXPECT_EQ(QFileInfo(SingleInstance::socketPath()).fileName().toStdString(), c.name);
    }
}

TEST(SingleInstance, ParsesTheWireFormat)
{
    const std::pair<QByteArray, QStringList> table[] = {
        { "OPEN\t/a.mkv\nOPEN\thttp://x/y\n", { "/a.mkv", "http://x/y" } },
        { "OPEN\t/with\ttab.mkv\n", { "/with\ttab.mkv" } },
        { "OPEN\t\nOPEN\t/kept.mkv\n", { "/kept.mkv" } },
        { "open\t/lower.mkv\nOPEN /space.mkv\nOPEN\t/kept.mkv\n", { "/kept.mkv" } },
        { "OPEN\t/crlf.mkv\r\n", { "/crlf.mkv\r" } },
        { "\n\nOPEN\t/last-without-end.mkv", { "/last-without-end.mkv" } },
        { "OPEN\t/caf\xc3\xa9.mkv\n", { QString::fromUtf8("/caf\xc3\xa9.mkv") } },
        { "", {} },
    };
    for (const auto& [bytes, entries] : table)
        EXPECT_EQ(SingleInstance::parseMessage(bytes), entries) << bytes.toStdString();
}

TEST(SingleInstance, SecondProcessHandsOverItsFilesAndExits)
{
    SingleInstance primary;
    ASSERT_TRUE(primary.tryBecomePrimary());
    ASSERT_TRUE(primary.isListening());
    QSignalSpy spy(&primary, &SingleInstance::filesReceived);

    const QString cwd = QString::fromStdString(kvr::test::scratchDirectory().string());
    const std::vector<QStringList> launches = { {}, { "a b.mkv", "/media/c.mkv" } };
    for (const QStringList& args : launches) {
        QProcess second;
        second.setWorkingDirectory(cwd);
        second.start(QStringLiteral(KVR_PLAYER_EXE), args);
        // The primary must keep serving its event loop while the second process runs.
        QElapsedTimer t;
        t.start();
        while (second.state() != QProcess::NotRunning && t.elapsed() < 20000)
            QTest::qWait(20);
        ASSERT_EQ(second.state(), QProcess::NotRunning);
        EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    }
    // The hand-over reaches the primary's event loop after the second process ended; a loaded machine may take
    // its time. Anything sent by the first launch would have come before it.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !spy.isEmpty(); }, 20000));
    QTest::qWait(100);
    // Started without files, the second process sends nothing at all.
    ASSERT_EQ(spy.size(), 1);
    EXPECT_EQ(spy.at(0).at(0).toStringList(), (QStringList { cwd + "/a b.mkv", "/media/c.mkv" }));
}

TEST(SingleInstance, TenProcessesAtOnceElectOnePrimary)
{
    constexpr int kProcesses = 10;
    std::vector<std::unique_ptr<QProcess>> procs;
    for (int i = 0; i < kProcesses; ++i) {
        auto p = std::make_unique<QProcess>();
        p->start(QStringLiteral(KVR_PROBE_EXE),
            { QString::number(kProcesses - 1), QStringLiteral("/media/file-%1.mkv").arg(i) });
        procs.push_back(std::move(p));
    }
    int primaries = 0;
    int primaryIndex = -1;
    for (int i = 0; i < kProcesses; ++i) {
        ASSERT_TRUE(ended(*procs[i], 30000)) << "process " << i << " did not end";
        EXPECT_EQ(procs[i]->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(procs[i]->exitCode(), 0) << procs[i]->readAllStandardError().toStdString();
        const QString role = firstLineOf(*procs[i], 0);
        if (role == "primary") {
            ++primaries;
            primaryIndex = i;
        } else {
            EXPECT_EQ(role.toStdString(), "secondary");
        }
    }
    ASSERT_EQ(primaries, 1);
    std::set<QString> received;
    while (procs[primaryIndex]->canReadLine()) {
        const QString line = QString::fromUtf8(procs[primaryIndex]->readLine()).trimmed();
        ASSERT_TRUE(line.startsWith("received\t")) << line.toStdString();
        EXPECT_TRUE(received.insert(line.mid(9)).second) << "twice: " << line.toStdString();
    }
    std::set<QString> expected;
    for (int i = 0; i < kProcesses; ++i) {
        if (i != primaryIndex)
            expected.insert(QStringLiteral("/media/file-%1.mkv").arg(i));
    }
    EXPECT_EQ(received, expected);
}

TEST(SingleInstance, StaleSocketOfAKilledPrimaryIsReplaced)
{
    QProcess old;
    old.start(QStringLiteral(KVR_PROBE_EXE), { QStringLiteral("1000") });
    ASSERT_EQ(firstLineOf(old, 20000).toStdString(), "primary");
    old.kill();
    ASSERT_TRUE(ended(old, 10000));
    ASSERT_TRUE(QFileInfo::exists(SingleInstance::socketPath())) << "the killed primary left no socket behind";

    SingleInstance primary;
    ASSERT_TRUE(primary.tryBecomePrimary());
    ASSERT_TRUE(primary.isListening());
    QSignalSpy spy(&primary, &SingleInstance::filesReceived);
    QProcess second;
    second.start(QStringLiteral(KVR_PROBE_EXE), { QStringLiteral("0"), QStringLiteral("/media/next.mkv") });
    ASSERT_TRUE(spy.wait(20000));
    EXPECT_EQ(spy.at(0).at(0).toStringList(), QStringList { "/media/next.mkv" });
    ASSERT_TRUE(ended(second, 10000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(firstLineOf(second, 0).toStdString(), "secondary");
}

// A primary that cannot listen still runs (and says why) rather than ending the user's launch silently.
TEST(SingleInstance, ListenFailureStillRunsAsPrimary)
{
    ASSERT_TRUE(QDir().mkpath(SingleInstance::socketPath()));
    messages.clear();
    const auto previous = qInstallMessageHandler(&collect);
    SingleInstance primary;
    const bool isPrimary = primary.tryBecomePrimary();
    qInstallMessageHandler(previous);
    EXPECT_TRUE(isPrimary);
    EXPECT_FALSE(primary.isListening());
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.first().startsWith("SingleInstance: cannot listen on ")) << messages.first().toStdString();
    EXPECT_TRUE(QFileInfo(SingleInstance::socketPath()).isDir());
}
