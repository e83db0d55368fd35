// Qt Quick Test runner for the library's QML pieces: each test file runs against the program's real services.
#include "tests/qml/common/QmlTestBench.h"

#include <QtQuickTest>

using LibraryBench = kvr::test::QmlTestBench;

QUICK_TEST_MAIN_WITH_SETUP(kvr_library_qml, LibraryBench)
