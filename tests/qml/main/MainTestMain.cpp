// Qt Quick Test runner for the main window: each test file creates "Main" itself and runs it against the
// program's real services.
#include "tests/qml/common/QmlTestBench.h"
#include "ui/PerformanceHud.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QtQuickTest>

// The program points the performance overlay at its main window once it is loaded; here the tests create
// their windows themselves, so each main window that shows takes the overlay over.
class MainWindowBench : public kvr::test::QmlTestBench {
    Q_OBJECT

public slots:
    void qmlEngineAvailable(QQmlEngine* engine)
    {
        QmlTestBench::qmlEngineAvailable(engine);
        hud_ = qobject_cast<kvr::ui::PerformanceHud*>(
            engine->rootContext()->contextProperty(QStringLiteral("Hud")).value<QObject*>());
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && hud_ && watched->inherits("QQuickApplicationWindow"))
            hud_->setWindow(static_cast<QQuickWindow*>(watched));
        return false;
    }

private:
    QPointer<kvr::ui::PerformanceHud> hud_;
};

QUICK_TEST_MAIN_WITH_SETUP(kvr_main_window, MainWindowBench)

#include "MainTestMain.moc"
