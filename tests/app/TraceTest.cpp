#include "app/Trace.h"
#include "engine/PrivateDirectory.h"
#include "tests/support/TestSupport.h"

#include <QLoggingCategory>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace kvr::app;
using kvr::test::readFile;

namespace {

std::string traceFile()
{
    return kvr::test::readTraceWritten(kvr::engine::privateDirectory() / "kvr_trace.txt");
}

Q_LOGGING_CATEGORY(lcPlayerTest, "kvr.test")
Q_LOGGING_CATEGORY(lcQpaTest, "qt.qpa.test")

} // namespace

TEST(Trace, PrefixesEveryMessageTypeAndMirrorsToStandardError)
{
    EXPECT_EQ(std::string(tracePath()), (kvr::engine::privateDirectory() / "kvr_trace.txt").string());
    const std::pair<QtMsgType, const char*> table[] = { { QtDebugMsg, "qt-debug" }, { QtWarningMsg, "qt-warn" },
        { QtCriticalMsg, "qt-crit" }, { QtFatalMsg, "qt-fatal" }, { QtInfoMsg, "qt-info" } };
    std::string expected;
    testing::internal::CaptureStderr();
    for (const auto& [type, prefix] : table) {
        // A message of several lines is kept as given; only one line end follows it.
        qtMessageHandler(type, QMessageLogContext(), QStringLiteral("first\nsecond ü"));
        expected += std::string(prefix) + ": first\nsecond ü\n";
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
    EXPECT_EQ(traceFile(), expected);
}

// A message sent while the process tears its statics down (a Qt object a static destructor deletes) still lands
// in the trace file.
TEST(Trace, LinesDuringStaticTeardownReachTheTrace)
{
    // A fresh process, so the trace's own statics are made after the exit handler below is registered and are
    // destroyed before it runs. The process's folders go with it: the handler reads its trace itself.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::atexit([] {
                traceLine("Trace test: said after the statics went");
                const bool landed = traceFile().find("Trace test: said after the statics went\n") != std::string::npos;
                std::_Exit(landed ? 0 : 3);
            });
            traceLine("Trace test: said before exit");
            std::exit(1);
        },
        testing::ExitedWithCode(0), "said before exit");
}

TEST(Trace, FilterRulesKeepOwnMessagesAndDropQtChatter)
{
    installMessageRouting();
    testing::internal::CaptureStderr();
    qWarning("own warning");
    qDebug("own debug");
    qCDebug(lcPlayerTest) << "category debug";
    qCWarning(lcPlayerTest) << "category warning";
    qCWarning(lcQpaTest) << "platform warning";
    testing::internal::GetCapturedStderr();
    qInstallMessageHandler(nullptr);
    EXPECT_EQ(traceFile(), "qt-warn: own warning\nqt-debug: own debug\nqt-warn: category warning\n");
}

TEST(Trace, LinesFromManyThreadsStayWhole)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 1000;
    const std::string filler(200, 'x');
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &filler] {
            for (int i = 0; i < kLines; ++i)
                traceLine(("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + filler).c_str());
        });
    }
    for (auto& th : threads)
        th.join();
    const std::string mirrored = testing::internal::GetCapturedStderr();

    for (const std::string& text : { traceFile(), mirrored }) {
        std::map<int, int> nextOf;
        std::istringstream in(text);
        std::string line;
        int count = 0;
        while (std::getline(in, line)) {
            int t = -1;
            int i = -1;
            char rest[256] = {};
            ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d %255s", &t, &i, rest), 3) << line;
            ASSERT_EQ(rest, filler) << line;
            EXPECT_EQ(i, nextOf[t]++) << "thread " << t;
            ++count;
        }
        EXPECT_EQ(count, kThreads * kLines);
        EXPECT_EQ(text.back(), '\n');
    }
}
