// main for tests that need a Qt application object: a QGuiApplication on the test run's X display, or on the
// offscreen platform when there is none.
#include "engine/Logging.h"
#include "tests/support/TestSupport.h"

#include <QGuiApplication>
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

int main(int argc, char** argv)
{
    kvr::test::isolateEnvironment();
    // Before any thread: an engine object made first on a worker would swap spdlog's default logger while the
    // GUI thread logs through it.
    kvr::engine::init_logging();
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Kestrune");
    QCoreApplication::setApplicationName("Kestrune Media Player");
    std::setlocale(LC_NUMERIC, "C");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
