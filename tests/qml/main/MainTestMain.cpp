// Qt Quick Test runner for the main window: each test file creates "Main" itself and runs it against the
// program's real services.
#include "tests/qml/common/QmlTestBench.h"
#include "tests/support/qt/ServiceDoubles.h"
#include "ui/bridge/MediaSessionBridge.h"
#include "ui/PerformanceHud.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QtQuickTest>

#include <memory>

// The program points the performance overlay at its main window once it is loaded; here the tests create
// their windows themselves, so each main window that shows takes the overlay over. The player, the actions
// and the overlay are the program's own; the conversion queue, the library and casting are doubles the tests
// steer.
class MainWindowBench : public kvr::test::QmlTestBench {
    Q_OBJECT

public slots:
    void qmlEngineAvailable(QQmlEngine* engine)
    {
        QmlTestBench::qmlEngineAvailable(engine);
        hud_ = qobject_cast<kvr::ui::PerformanceHud*>(
            engine->rootContext()->contextProperty(QStringLiteral("Hud")).value<QObject*>());
        QCoreApplication::instance()->installEventFilter(this);

        QQmlContext* context = engine->rootContext();
        auto* bridge = qobject_cast<kvr::ui::MediaSessionBridge*>(
            context->contextProperty(QStringLiteral("Player")).value<QObject*>());
        converter_ = std::make_unique<kvr::test::ConverterDouble>();
        library_ = std::make_unique<kvr::test::LibraryDouble>();
        cast_ = std::make_unique<kvr::test::CastDouble>(bridge);
        context->setContextProperty(QStringLiteral("Converter"), converter_.get());
        context->setContextProperty(QStringLiteral("Library"), library_.get());
        context->setContextProperty(QStringLiteral("Cast"), cast_.get());
    }

    // The doubles go before the player they may be attached to.
    void cleanupTestCase()
    {
        cast_.reset();
        library_.reset();
        converter_.reset();
        QmlTestBench::cleanupTestCase();
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
    std::unique_ptr<kvr::test::ConverterDouble> converter_;
    std::unique_ptr<kvr::test::LibraryDouble> library_;
    std::unique_ptr<kvr::test::CastDouble> cast_;
};

QUICK_TEST_MAIN_WITH_SETUP(kvr_main_window, MainWindowBench)

#include "MainTestMain.moc"
