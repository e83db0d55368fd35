#include "engine/Logging.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    kvr::test::isolateEnvironment();
    testing::InitGoogleTest(&argc, argv);
    // Before any thread: an engine object made first on a worker would swap spdlog's default logger while
    // another thread logs through it. The logging set-up's own cases start without it.
    if (testing::GTEST_FLAG(filter).rfind("Logging.", 0) != 0)
        kvr::engine::init_logging();
    return RUN_ALL_TESTS();
}
