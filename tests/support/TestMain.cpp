#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    kvr::test::isolateEnvironment();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
