#pragma once

#include "tests/ui/LoopbackHttpServer.h"

#include <QMimeData>
#include <QFont>
#include <QObject>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <memory>

class QQuickItem;
class QWindow;

namespace kvr::test {

// What the QML tests of the bench need of the world outside QML, as the context property "TestKit": media
// fixtures, shell commands, keys sent to a chosen top-level window, screenshots, the stored settings, a
// loopback HTTP server, the environment, and the URLs the program asked the desktop to open (caught here, so
// no browser or file manager ever starts).
class TestKit : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList openedUrls READ openedUrls NOTIFY openedUrlsChanged)
    Q_PROPERTY(QString scratchDir READ scratchDir CONSTANT)

public:
    explicit TestKit(QObject* parent = nullptr);
    ~TestKit() override;

    // Takes over "http", "https" and "file" from QDesktopServices; the handlers go again with this object.
    void catchOpenedUrls();

    QStringList openedUrls() const { return openedUrls_; }
    // This test process's own directory (the settings, data and temporary folders lie below it).
    QString scratchDir() const;

    // The absolute path of a generated media fixture.
    Q_INVOKABLE QString fixture(const QString& name) const;
    // Runs a shell command line (a fixture made at test time, for example) and returns its exit status, -1
    // when it could not run. The GUI waits for it.
    Q_INVOKABLE int run(const QString& commandLine) const;
    // A key press and release sent to target's window (target is a window, or an item or pop-up in one),
    // after making it the focus window. Qt Quick Test's own keyClick always goes to the test's window, even
    // when another one is active. False when the window cannot be found or focused.
    Q_INVOKABLE bool keyClick(QObject* target, int key, int modifiers = 0) const;
    // Types text into target's window, focused first, one key click per character.
    Q_INVOKABLE bool keyClicks(QObject* target, const QString& text) const;
    // Waits until target's window (target is a window, or an item or pop-up in one) has presented a frame begun
    // after this call, at most timeoutMs; whether one was. In place of Qt Quick Test's waitForRendering: that one
    // counts frames with a QSignalSpy on the stack, directly connected to frameSwapped, which the threaded render
    // loop emits on its render thread; a frame presented as the spy went out of scope called into its dead stack
    // memory and crashed the test process under load. Here the render thread only counts into a shared counter.
    Q_INVOKABLE bool waitForFrame(QObject* target, int timeoutMs = 5000) const;
    // Saves what target (an item, or a whole window) shows as build/screenshots/<name>.png; the path, or empty.
    Q_INVOKABLE QString screenshot(QObject* target, const QString& name) const;
    // How many glyphs of text, laid out in font with the fallbacks a label would use, no font on the machine
    // has: each shows as a box. (QFontMetrics::inFontUcs4 knows only the primary font.)
    Q_INVOKABLE int missingGlyphs(const QString& text, const QFont& font) const;
    // A value of the program's settings as stored now (written out first).
    Q_INVOKABLE QVariant settingsValue(const QString& key) const;
    // The keys stored now directly under group ("fx/source", for example).
    Q_INVOKABLE QStringList settingsKeys(const QString& group) const;

    // The loopback HTTP server on 127.0.0.1: path answers with status and body, or never answers at all.
    Q_INVOKABLE void serve(const QString& path, int status, const QString& body);
    Q_INVOKABLE void hang(const QString& path);
    // path answers with the bytes of a file (a media fixture streamed over HTTP, for example).
    Q_INVOKABLE bool serveFile(const QString& path, const QString& filePath);
    // How many requests for path the server has had.
    Q_INVOKABLE int requestCount(const QString& path) const;
    Q_INVOKABLE QString url(const QString& path) const;

    // A drag from outside the program entering target's window at (x, y) of target, carrying urls (as
    // "text/uri-list") and text (as "text/plain"), each only when not empty: true when the window accepts it.
    // dropDrag drops it there (true when the drop is taken), leaveDrag lets it leave.
    Q_INVOKABLE bool enterDrag(QObject* target, qreal x, qreal y, const QStringList& urls, const QString& text);
    Q_INVOKABLE bool dropDrag();
    Q_INVOKABLE void leaveDrag();

    // Sets an environment variable; null or undefined removes it.
    Q_INVOKABLE void setEnv(const QString& name, const QVariant& value) const;
    Q_INVOKABLE void clearOpenedUrls();

public slots:
    // Handler of the caught schemes.
    void openUrl(const QUrl& url);

signals:
    void openedUrlsChanged();

private:
    static QWindow* windowOf(QObject* target);
    // Makes window the focus window and waits until it is.
    static bool focus(QWindow* window);

    QStringList openedUrls_;
    // The drag under way: its window, the point in it, and what it carries.
    QWindow* dragWindow_ = nullptr;
    QPointF dragPoint_;
    std::unique_ptr<QMimeData> dragData_;
    bool catching_ = false;
    LoopbackHttpServer http_;
};

} // namespace kvr::test
