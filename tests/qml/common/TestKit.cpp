#include "tests/qml/common/TestKit.h"

#include "tests/support/TestSupport.h"

#include <QGlyphRun>
#include <QTextLayout>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QDropEvent>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QPointer>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSaveFile>
#include <QSettings>
#include <QTest>
#include <QThread>
#include <QWindow>

#include <atomic>
#include <memory>

namespace kvr::test {

namespace {

const char* const kCaughtSchemes[] = { "http", "https", "file" };

} // namespace

TestKit::TestKit(QObject* parent)
    : QObject(parent)
{
}

TestKit::~TestKit()
{
    if (catching_) {
        for (const char* scheme : kCaughtSchemes)
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
}

void TestKit::catchOpenedUrls()
{
    for (const char* scheme : kCaughtSchemes)
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "openUrl");
    catching_ = true;
}

QString TestKit::scratchDir() const
{
    return QString::fromStdString(scratchDirectory().string());
}

QString TestKit::fixture(const QString& name) const
{
    return QString::fromStdString(kvr::test::fixture(name.toStdString()).string());
}

int TestKit::run(const QString& commandLine) const
{
    return runCommand(commandLine.toStdString());
}

QWindow* TestKit::windowOf(QObject* target)
{
    if (auto* window = qobject_cast<QWindow*>(target))
        return window;
    if (auto* item = qobject_cast<QQuickItem*>(target))
        return item->window();
    // A pop-up (Menu, Dialog) is no item, but its content item lies in the window that shows it.
    if (target) {
        if (auto* content = qvariant_cast<QQuickItem*>(target->property("contentItem")))
            return content->window();
    }
    return nullptr;
}

bool TestKit::focus(QWindow* window)
{
    // Window shortcuts fire only in the focus window. QWindow::isActive is no proof: a window whose transient
    // parent has the focus counts as active too.
    if (QGuiApplication::focusWindow() == window)
        return true;
    window->requestActivate();
    if (QTest::qWaitFor([window] { return QGuiApplication::focusWindow() == window; }, 5000))
        return true;
    qWarning("TestKit: the window never got the keyboard focus");
    return false;
}

bool TestKit::keyClick(QObject* target, int key, int modifiers) const
{
    QWindow* window = windowOf(target);
    if (!window) {
        qWarning("TestKit: keyClick has no window to send to");
        return false;
    }
    if (!focus(window))
        return false;
    QTest::keyClick(window, static_cast<Qt::Key>(key), Qt::KeyboardModifiers(modifiers));
    return true;
}

bool TestKit::keyClicks(QObject* target, const QString& text) const
{
    QWindow* window = windowOf(target);
    if (!window) {
        qWarning("TestKit: keyClicks has no window to send to");
        return false;
    }
    if (!focus(window))
        return false;
    for (const QChar c : text) {
        const QString one(c);
        // Letters, digits and the space carry their key code, so key handlers see them as typed keys.
        int key = 0;
        if (c == QLatin1Char(' '))
            key = Qt::Key_Space;
        else if (c.isLetterOrNumber() && c.unicode() < 128)
            key = c.toUpper().unicode();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, one);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, one);
        QCoreApplication::sendEvent(window, &press);
        QCoreApplication::sendEvent(window, &release);
    }
    return true;
}

bool TestKit::waitForFrame(QObject* target, int timeoutMs) const
{
    const QPointer<QQuickWindow> window = qobject_cast<QQuickWindow*>(windowOf(target));
    if (!window) {
        qWarning("TestKit: waitForFrame needs an item or a Qt Quick window");
        return false;
    }
    // Owned by the connections' functors as well, so a frame still being announced after the wait is over counts
    // into live memory.
    struct Seen {
        std::atomic<bool> synced { false };
        std::atomic<int> frames { 0 };
    };
    auto seen = std::make_shared<Seen>();
    // Only a frame synchronised after this call shows what the caller changed: one the render thread took before
    // (and swaps now, on a loaded machine) was laid out before the change.
    const QMetaObject::Connection sync = QObject::connect(
        window, &QQuickWindow::beforeSynchronizing, window, [seen] { seen->synced = true; }, Qt::DirectConnection);
    const QMetaObject::Connection swap = QObject::connect(
        window, &QQuickWindow::frameSwapped, window,
        [seen] {
            if (seen->synced.load())
                seen->frames.fetch_add(1);
        },
        Qt::DirectConnection);
    window->update();
    QDeadlineTimer deadline(timeoutMs);
    while (seen->frames.load() == 0 && window && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(5);
    }
    if (window) {
        QObject::disconnect(sync);
        QObject::disconnect(swap);
    }
    return seen->frames.load() > 0;
}

int TestKit::missingGlyphs(const QString& text, const QFont& font) const
{
    QTextLayout layout(text, font);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine())
        line.setLineWidth(100000);
    layout.endLayout();
    int missing = 0;
    for (const QGlyphRun& run : layout.glyphRuns()) {
        for (const quint32 index : run.glyphIndexes())
            missing += index == 0 ? 1 : 0;
    }
    return missing;
}

QString TestKit::screenshot(QObject* target, const QString& name) const
{
    QWindow* window = windowOf(target);
    auto* quickWindow = qobject_cast<QQuickWindow*>(window);
    if (!quickWindow) {
        qWarning("TestKit: screenshot needs an item or a Qt Quick window");
        return {};
    }
    QImage image = quickWindow->grabWindow();
    if (auto* item = qobject_cast<QQuickItem*>(target)) {
        const qreal ratio = image.devicePixelRatio();
        const QRectF scene = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
        const QRect pixels(qRound(scene.x() * ratio), qRound(scene.y() * ratio), qRound(scene.width() * ratio),
            qRound(scene.height() * ratio));
        image = image.copy(pixels);
    }
    const QString dir = QStringLiteral(KVR_BINARY_DIR "/screenshots");
    QDir().mkpath(dir);
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    // Written aside and renamed, so that a run beside this one in the same build tree never reads half a picture.
    QSaveFile file(path);
    if (image.isNull() || !file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit()) {
        qWarning("TestKit: could not save %s", qPrintable(path));
        return {};
    }
    return path;
}

QVariant TestKit::settingsValue(const QString& key) const
{
    QSettings settings;
    settings.sync();
    return settings.value(key);
}

QStringList TestKit::settingsKeys(const QString& group) const
{
    QSettings settings;
    settings.sync();
    settings.beginGroup(group);
    return settings.childKeys();
}

void TestKit::serve(const QString& path, int status, const QString& body)
{
    http_.answer(path.toUtf8(), status, body.toUtf8());
}

void TestKit::hang(const QString& path)
{
    http_.hang(path.toUtf8());
}

bool TestKit::serveFile(const QString& path, const QString& filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    http_.answer(path.toUtf8(), 200, file.readAll());
    return true;
}

int TestKit::requestCount(const QString& path) const
{
    const QByteArray wanted = path.toUtf8();
    int count = 0;
    for (const auto& request : http_.requests())
        count += request.path == wanted ? 1 : 0;
    return count;
}

QString TestKit::url(const QString& path) const
{
    return http_.url(path).toString();
}

void TestKit::setEnv(const QString& name, const QVariant& value) const
{
    if (value.isNull() || !value.isValid())
        qunsetenv(name.toLocal8Bit().constData());
    else
        qputenv(name.toLocal8Bit().constData(), value.toString().toLocal8Bit());
}

bool TestKit::enterDrag(QObject* target, qreal x, qreal y, const QStringList& urls, const QString& text)
{
    leaveDrag();
    auto* item = qobject_cast<QQuickItem*>(target);
    QWindow* window = windowOf(target);
    if (!window)
        return false;
    dragData_ = std::make_unique<QMimeData>();
    if (!urls.isEmpty()) {
        QList<QUrl> list;
        for (const QString& url : urls)
            list.append(QUrl(url));
        dragData_->setUrls(list);
    }
    if (!text.isEmpty())
        dragData_->setText(text);
    dragWindow_ = window;
    dragPoint_ = item ? item->mapToScene(QPointF(x, y)) : QPointF(x, y);
    QDragEnterEvent enter(dragPoint_.toPoint(), Qt::CopyAction, dragData_.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &enter);
    return enter.isAccepted();
}

bool TestKit::dropDrag()
{
    if (!dragWindow_ || !dragData_)
        return false;
    QDropEvent drop(dragPoint_, Qt::CopyAction, dragData_.get(), Qt::LeftButton, Qt::NoModifier);
    drop.setAccepted(false);
    QCoreApplication::sendEvent(dragWindow_, &drop);
    dragWindow_ = nullptr;
    return drop.isAccepted();
}

void TestKit::leaveDrag()
{
    if (dragWindow_) {
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(dragWindow_, &leave);
    }
    dragWindow_ = nullptr;
}

void TestKit::clearOpenedUrls()
{
    openedUrls_.clear();
    emit openedUrlsChanged();
}

void TestKit::openUrl(const QUrl& url)
{
    openedUrls_.append(url.toString(QUrl::FullyEncoded));
    emit openedUrlsChanged();
}

} // namespace kvr::test
