// Drags from other programs onto the main window's stage, delivered as the platform delivers them.
#include "app/Application.h"
#include "qml/QmlModule.h"
#include "tests/support/TestSupport.h"
#include "ui/Actions.h"
#include "ui/bridge/MediaSessionBridge.h"

#include <QDir>
#include <QMimeData>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>
#include <qpa/qplatformdrag.h>
#include <qpa/qwindowsysteminterface.h>

using kvr::app::Application;

namespace {

class MainDrop : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
        window = app.window();
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        stage = window->findChild<QQuickItem*>(QStringLiteral("stage"));
        highlight = window->findChild<QQuickItem*>(QStringLiteral("dropHighlight"));
        ASSERT_NE(stage, nullptr);
        ASSERT_NE(highlight, nullptr);
    }

    QPoint stagePoint(double fx, double fy) const
    {
        return stage->mapToScene(QPointF(stage->width() * fx, stage->height() * fy)).toPoint();
    }

    bool drag(const QMimeData* data, QPoint at)
    {
        return QWindowSystemInterface::handleDrag(window, data, at, Qt::CopyAction | Qt::MoveAction, Qt::LeftButton, {})
            .isAccepted();
    }

    bool drop(const QMimeData* data, QPoint at)
    {
        return QWindowSystemInterface::handleDrop(window, data, at, Qt::CopyAction | Qt::MoveAction, Qt::LeftButton, {})
            .isAccepted();
    }

    // The platform reports a drag that left the window as a drag without data.
    void leave() { QWindowSystemInterface::handleDrag(window, nullptr, QPoint(), Qt::IgnoreAction, {}, {}); }

    int frameWidth() const { return highlight->property("border").value<QObject*>()->property("width").toInt(); }

    Application app { nullptr };
    QQuickWindow* window = nullptr;
    QQuickItem* stage = nullptr;
    QQuickItem* highlight = nullptr;
};

QUrl fixtureUrl(const char* name)
{
    return QUrl::fromLocalFile(QString::fromStdString(kvr::test::fixture(name).string()));
}

} // namespace

// Every URL of a drop becomes one "playlist.add", in the drop's order, and one playlist entry.
TEST_F(MainDrop, FilesGoToTheQueueInDropOrder)
{
    QSignalSpy triggered(app.actions(), &kvr::ui::Actions::triggered);
    const QList<QUrl> urls { fixtureUrl("tone6.mkv"), fixtureUrl("clip.mp4"), fixtureUrl("cover.mp3") };
    QMimeData data;
    data.setUrls(urls);

    EXPECT_TRUE(drag(&data, stagePoint(0.5, 0.5)));
    EXPECT_TRUE(drop(&data, stagePoint(0.5, 0.5)));
    EXPECT_FALSE(highlight->isVisible());

    QStringList added;
    for (const QList<QVariant>& call : triggered) {
        if (call.at(0).toString() == QLatin1String("playlist.add"))
            added << call.at(1).toString();
    }
    ASSERT_EQ(added.size(), 3) << added.join(QLatin1Char(' ')).toStdString();
    QStringList expectedPaths;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(added.at(i), urls.at(i).toString());
        expectedPaths << QDir::toNativeSeparators(urls.at(i).toLocalFile());
    }
    EXPECT_EQ(app.bridge()->playlist(), expectedPaths);
}

// A drag without a URI list is refused before it reaches the stage: no frame, and its drop adds nothing.
TEST_F(MainDrop, TextIsRefused)
{
    QSignalSpy triggered(app.actions(), &kvr::ui::Actions::triggered);
    QMimeData data;
    data.setText(QStringLiteral("file:///etc/hostname"));

    EXPECT_FALSE(drag(&data, stagePoint(0.5, 0.5)));
    EXPECT_FALSE(highlight->isVisible());
    EXPECT_FALSE(drop(&data, stagePoint(0.5, 0.5)));
    EXPECT_EQ(triggered.size(), 0);
    EXPECT_EQ(app.bridge()->playlistCount(), 0);
}

// Files dragged over the stage frame it in 3 px of the accent until the drag leaves, which adds nothing.
TEST_F(MainDrop, FrameShowsWhileFilesAreOverTheStage)
{
    QSignalSpy triggered(app.actions(), &kvr::ui::Actions::triggered);
    QMimeData data;
    data.setUrls({ fixtureUrl("clip.mp4") });

    EXPECT_FALSE(highlight->isVisible());
    EXPECT_TRUE(drag(&data, stagePoint(0.3, 0.3)));
    EXPECT_TRUE(highlight->isVisible());
    EXPECT_EQ(frameWidth(), 3);
    EXPECT_EQ(highlight->property("border").value<QObject*>()->property("color").value<QColor>(), QColor("#ff5b22"));
    EXPECT_EQ(highlight->size(), stage->size());
    EXPECT_TRUE(drag(&data, stagePoint(0.7, 0.6)));
    EXPECT_TRUE(highlight->isVisible());

    leave();
    EXPECT_FALSE(highlight->isVisible());
    EXPECT_EQ(frameWidth(), 0);
    EXPECT_EQ(triggered.size(), 0);
    EXPECT_EQ(app.bridge()->playlistCount(), 0);
}
