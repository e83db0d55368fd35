#pragma once

#include <QObject>

#include <memory>

class QQmlEngine;

namespace kvr::app {
class Application;
}

namespace kvr::test {

class TestKit;

// The set-up of a Qt Quick Test runner that runs QML against the program's real context objects: give it to
// QUICK_TEST_MAIN_WITH_SETUP. The process gets its own directories, the names, version, style and number
// format that main sets, settings that keep receiver discovery off, the services as the program creates them
// (without loading the main window), and the context property "TestKit".
class QmlTestBench : public QObject {
    Q_OBJECT

public:
    // Runs before the application object exists: the environment must be isolated before anything reads it.
    QmlTestBench();
    ~QmlTestBench() override;

public slots:
    void applicationAvailable();
    void qmlEngineAvailable(QQmlEngine* engine);
    void cleanupTestCase();

private:
    std::unique_ptr<kvr::app::Application> app_;
    std::unique_ptr<TestKit> kit_;
};

} // namespace kvr::test
