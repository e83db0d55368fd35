// Qt Quick Test runner for the dialogs: each test file runs against the program's real services.
#include "tests/qml/common/QmlTestBench.h"

#include <QtQuickTest>

using DialogsBench = kvr::test::QmlTestBench;

QUICK_TEST_MAIN_WITH_SETUP(kvr_dialogs, DialogsBench)
