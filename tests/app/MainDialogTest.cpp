// The main window's other windows and dialogs in the running program: every way in reaches the one instance the
// window keeps, the keyboard comes back to the window when a dialog closes, and the windows hand work on to
// each other. Casting stays off; the update feed is a loopback server.
#include "app/Application.h"
#include "app/CommandLine.h"
#include "qml/QmlModule.h"
#include "tests/app/WindowPart.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/LoopbackHttpServer.h"
#include "ui/Actions.h"
#include "ui/bridge/MediaSessionBridge.h"
#include "ui/convert/TranscodeQueue.h"
#include "ui/UpdateChecker.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

using kvr::app::Application;
using State = kvr::ui::MediaSessionBridge::State;

namespace {

constexpr int kGenerousMs = 30000;

// The feed the update checks read: always a newer version than this one.
constexpr char kFeed[] = R"({"version":"9.9.0","notes":"Faster seeking.","date":"2026-12-01",)"
                         R"("url":"https://updates.kestrune.example/kestrune-9.9.0.exe"})";

// The first item named name (any name when empty) that accept takes, in the visual tree below root, pop-ups and
// list rows included.
QQuickItem* findItem(QQuickItem* root, const QString& name, const std::function<bool(QQuickItem*)>& accept = {})
{
    if (!root)
        return nullptr;
    if ((name.isEmpty() || root->objectName() == name) && (!accept || accept(root)))
        return root;
    for (QQuickItem* child : root->childItems()) {
        if (QQuickItem* found = findItem(child, name, accept))
            return found;
    }
    return nullptr;
}

// The whole program with clip.mp4 copied into the scratch folder, so conversions write there.
class RunningPlayer {
public:
    RunningPlayer()
    {
        // As main does: the About box and the update check show this version.
        QCoreApplication::setApplicationVersion(QString::fromLatin1(kvr::app::kApplicationVersion));
        // No discovery traffic from a test: casting is off before the cast session reads its settings.
        QSettings settings;
        settings.setValue(QStringLiteral("cast/enabled"), false);
        settings.setValue(QStringLiteral("cast/discoverOnStart"), false);
        settings.sync();
        feed.answer("/latest.json", 200, kFeed);
        qputenv("KESTRUNE_UPDATE_FEED", feed.url(QStringLiteral("/latest.json")).toString().toUtf8());
        const QString media = QString::fromStdString((kvr::test::scratchDirectory() / "media").string());
        QDir().mkpath(media);
        clip = media + QStringLiteral("/clip.mp4");
        QFile::remove(clip);
        QFile::copy(QString::fromStdString(kvr::test::fixture("clip.mp4").string()), clip);
    }

    ~RunningPlayer()
    {
        if (app)
            app->bridge()->stop();
        app.reset();
    }

    bool start()
    {
        app = std::make_unique<Application>(nullptr);
        if (!app->start({}, kvr::qml::mainComponentUrl()))
            return false;
        window = app->window();
        return window && QTest::qWaitForWindowExposed(window) && activate(window);
    }

    // clip.mp4 (or the given file) playing, or paused once it has shown a picture.
    bool playClip(bool paused, const QString& file = {})
    {
        app->bridge()->restorePlaylist({ file.isEmpty() ? clip : file }, 0);
        app->bridge()->openEntry(0);
        if (!QTest::qWaitFor([&] { return app->bridge()->state() == State::Playing; }, kGenerousMs))
            return false;
        if (!paused)
            return true;
        // Just after the start the open may still hold the engine, and the bridge drops a request it cannot take
        // the engine for at once: ask again until it lands.
        return QTest::qWaitFor(
            [&] {
                if (app->bridge()->state() == State::Playing)
                    app->bridge()->pause();
                return app->bridge()->state() == State::Paused;
            },
            kGenerousMs);
    }

    QObject* part(const char* name) const { return kvr::test::windowPart(window, QString::fromLatin1(name)); }
    QQuickItem* item(const char* name) const { return findItem(window->contentItem(), QString::fromLatin1(name)); }
    QObject* service(const char* name) const
    {
        return app->qmlEngine()->rootContext()->contextProperty(QString::fromLatin1(name)).value<QObject*>();
    }
    kvr::ui::TranscodeQueue* converter() const { return qobject_cast<kvr::ui::TranscodeQueue*>(service("Converter")); }
    kvr::ui::UpdateChecker* updates() const { return qobject_cast<kvr::ui::UpdateChecker*>(service("Updates")); }

    // A dialog is open, a window shown.
    static bool isOpen(QObject* object)
    {
        const QVariant opened = object->property("opened");
        return opened.isValid() ? opened.toBool() : object->property("visible").toBool();
    }

    // Closes a dialog or hides a window the way its own close does, and waits until it is gone.
    static bool shut(QObject* object)
    {
        if (auto* w = qobject_cast<QWindow*>(object))
            w->close();
        else
            QMetaObject::invokeMethod(object, "close");
        return QTest::qWaitFor([&] { return !isOpen(object) && !object->property("visible").toBool(); }, kGenerousMs);
    }

    // Nothing manages the windows here: whoever wants the keyboard takes the focus back itself. Another test
    // process on the same display may hold it for a while.
    static bool activate(QWindow* w)
    {
        return QTest::qWaitFor(
            [w] {
                if (QGuiApplication::focusWindow() != w)
                    w->requestActivate();
                return QGuiApplication::focusWindow() == w;
            },
            kGenerousMs);
    }

    // One key to w as its focus window: window shortcuts and a dialog's Esc act only there, and another test
    // process on the display may have taken the focus since the last key.
    static void press(QWindow* w, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        EXPECT_TRUE(activate(w));
        QTest::keyClick(w, key, modifiers);
    }
    static void type(QWindow* w, char c)
    {
        EXPECT_TRUE(activate(w));
        QTest::keyClick(w, c);
    }

    // The entry of a menu whose text (with its hint) is text.
    static QQuickItem* entry(QObject* menu, const QString& text)
    {
        const int count = menu->property("count").toInt();
        for (int i = 0; i < count; ++i) {
            QQuickItem* item = nullptr;
            QMetaObject::invokeMethod(menu, "itemAt", Q_RETURN_ARG(QQuickItem*, item), Q_ARG(int, i));
            if (item && item->property("text").toString() == text)
                return item;
        }
        return nullptr;
    }

    // Opens the menu and chooses the entry as a click does: its action runs and the menu closes.
    static testing::AssertionResult choose(QObject* menu, const QString& text)
    {
        QMetaObject::invokeMethod(menu, "open");
        if (!QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, kGenerousMs))
            return testing::AssertionFailure() << "the menu did not open for " << text.toStdString();
        QQuickItem* item = entry(menu, text);
        if (!item)
            return testing::AssertionFailure() << "no entry " << text.toStdString();
        if (!item->isEnabled())
            return testing::AssertionFailure() << "disabled: " << text.toStdString();
        auto* action = item->property("action").value<QObject*>();
        if (!action)
            return testing::AssertionFailure() << "no action behind " << text.toStdString();
        QMetaObject::invokeMethod(action, "trigger");
        if (!QTest::qWaitFor([&] { return !menu->property("visible").toBool(); }, kGenerousMs))
            return testing::AssertionFailure() << "the menu stayed open after " << text.toStdString();
        return testing::AssertionSuccess();
    }

    // A left click in the middle of an item, once it is laid out and shown.
    static testing::AssertionResult click(QQuickItem* item)
    {
        if (!item)
            return testing::AssertionFailure() << "no item to click";
        if (!QTest::qWaitFor(
                [&] { return item->isVisible() && item->width() > 0 && item->window()->isExposed(); }, kGenerousMs))
            return testing::AssertionFailure() << item->objectName().toStdString() << " never showed";
        const QPoint centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
        QTest::mouseClick(item->window(), Qt::LeftButton, {}, centre);
        return testing::AssertionSuccess();
    }

    kvr::test::LoopbackHttpServer feed;
    QString clip;
    std::unique_ptr<Application> app;
    QQuickWindow* window = nullptr;
};

// The types of the main window's dialogs and windows, by the objects that hold them.
const struct {
    const char* object;
    const char* type;
} kInstances[] = {
    { "infoDialog", "MediaInfoDialog" },
    { "prefsDialog", "PreferencesDialog" },
    { "shortcutsDialog", "ShortcutsDialog" },
    { "urlDialog", "OpenUrlDialog" },
    { "fxDialog", "EffectsDialog" },
    { "castWindow", "CastWindow" },
    { "updateDialog", "UpdateDialog" },
    { "convertDialog", "ConvertDialog" },
    { "queueWindow", "QueueWindow" },
};

// How many objects below the window are of a QML type (class names run "<Type>_QMLTYPE_<n>").
int countOfType(QObject* root, const char* type)
{
    const QByteArray prefix = QByteArray(type) + "_QMLTYPE_";
    int count = 0;
    for (QObject* object : root->findChildren<QObject*>()) {
        if (QByteArray(object->metaObject()->className()).startsWith(prefix))
            ++count;
    }
    return count;
}

// Resizes w as a user would and waits until the size holds: the window system's answer to the first showing
// may still be on its way and would otherwise put the old size back.
bool settleSize(QWindow* w, QSize size)
{
    QElapsedTimer held;
    held.start();
    return QTest::qWaitFor(
        [&] {
            if (w->size() != size) {
                w->resize(size);
                held.restart();
                return false;
            }
            return held.elapsed() > 500;
        },
        kGenerousMs);
}

} // namespace

// Every key and menu entry that leads to a window opens the one instance the main window made, of its real type.
TEST(Main, DialogEntryPoints)
{
    ASSERT_TRUE(qEnvironmentVariableIsSet("PULSE_SERVER")) << "run under scripts/test.sh";
    RunningPlayer p;
    ASSERT_TRUE(p.start());

    for (const auto& row : kInstances) {
        QObject* object = p.part(row.object);
        ASSERT_NE(object, nullptr) << row.object;
        EXPECT_TRUE(QByteArray(object->metaObject()->className()).startsWith(QByteArray(row.type) + "_QMLTYPE_"))
            << row.object << " is a " << object->metaObject()->className();
        EXPECT_EQ(countOfType(p.window, row.type), 1) << row.type;
    }
    // Stand-ins lived in their own folder of the module; the dialogs' types, the menu and the save dialog are all
    // real now.
    for (const char* type :
        { "AppMenu", "SelAction", "MediaInfoDialog", "PreferencesDialog", "ShortcutsDialog", "OpenUrlDialog",
            "EffectsDialog", "ConvertDialog", "QueueWindow", "ExportDialog", "CastWindow", "UpdateDialog" }) {
        EXPECT_TRUE(QFile::exists(QStringLiteral(":/qt/qml/Kestrune/MediaPlayer/%1.qml").arg(QLatin1String(type))))
            << type;
        EXPECT_FALSE(
            QFile::exists(QStringLiteral(":/qt/qml/Kestrune/MediaPlayer/standin/%1.qml").arg(QLatin1String(type))))
            << type;
    }

    // Nothing open: both media information entries are off.
    QObject* viewMenu = p.part("viewMenu");
    QObject* stageMenu = p.part("stageMenu");
    ASSERT_NE(viewMenu, nullptr);
    ASSERT_NE(stageMenu, nullptr);
    for (QObject* menu : { viewMenu, stageMenu }) {
        QMetaObject::invokeMethod(menu, "open");
        ASSERT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, kGenerousMs));
        const QString text = menu == viewMenu ? QStringLiteral("Media &Information...\tCtrl+I")
                                              : QStringLiteral("Media Information...\tCtrl+I");
        QQuickItem* item = RunningPlayer::entry(menu, text);
        ASSERT_NE(item, nullptr) << text.toStdString();
        EXPECT_FALSE(item->isEnabled()) << text.toStdString();
        QMetaObject::invokeMethod(menu, "close");
        ASSERT_TRUE(QTest::qWaitFor([&] { return !menu->property("visible").toBool(); }, kGenerousMs));
    }

    // Paused, so the three-second clip is still there for the entries that need a medium however long a loaded
    // machine takes to go through them all.
    ASSERT_TRUE(p.playClip(true));
    const struct {
        const char* target;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    } keys[] = {
        { "fxDialog", Qt::Key_E, Qt::ControlModifier },
        { "infoDialog", Qt::Key_I, Qt::ControlModifier },
        { "prefsDialog", Qt::Key_P, Qt::ControlModifier },
        { "shortcutsDialog", Qt::Key_F1, Qt::NoModifier },
        { "urlDialog", Qt::Key_U, Qt::ControlModifier },
        { "castWindow", Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier },
        { "convertDialog", Qt::Key_R, Qt::ControlModifier },
    };
    for (const auto& row : keys) {
        QObject* target = p.part(row.target);
        ASSERT_TRUE(RunningPlayer::activate(p.window)) << row.target;
        RunningPlayer::press(p.window, row.key, row.modifiers);
        EXPECT_TRUE(QTest::qWaitFor([&] { return RunningPlayer::isOpen(target); }, kGenerousMs)) << row.target;
        ASSERT_TRUE(RunningPlayer::shut(target)) << row.target;
    }

    const struct {
        const char* menu;
        const char* text;
        const char* target;
    } entries[] = {
        { "audioMenu", "Equalizer && Effects...\tCtrl+E", "fxDialog" },
        { "viewMenu", "&Effects && Filters...\tCtrl+E", "fxDialog" },
        { "viewMenu", "Media &Information...\tCtrl+I", "infoDialog" },
        { "stageMenu", "Media Information...\tCtrl+I", "infoDialog" },
        { "viewMenu", "P&references...\tCtrl+P", "prefsDialog" },
        { "helpMenu", "&Keyboard Shortcuts\tF1", "shortcutsDialog" },
        { "fileMenu", "Open &Network Stream...\tCtrl+U", "urlDialog" },
        { "viewMenu", "&Cast...\tCtrl+Shift+C", "castWindow" },
        { "castMenu", "Add Receiver by Address...", "castWindow" },
        { "castMenu", "Cast Settings && Diagnostics...", "castWindow" },
        { "fileMenu", "Con&vert / Save...\tCtrl+R", "convertDialog" },
        { "fileMenu", "Conversion &Queue...", "queueWindow" },
        { "helpMenu", "Check for &Updates...", "updateDialog" },
    };
    for (const auto& row : entries) {
        QObject* menu = p.part(row.menu);
        QObject* target = p.part(row.target);
        ASSERT_NE(menu, nullptr) << row.menu;
        ASSERT_TRUE(RunningPlayer::choose(menu, QString::fromUtf8(row.text)));
        EXPECT_TRUE(QTest::qWaitFor([&] { return RunningPlayer::isOpen(target); }, kGenerousMs)) << row.text;
        ASSERT_TRUE(RunningPlayer::shut(target)) << row.text;
    }

    // A right click on the playing entry, then its "Convert...": the conversion of that entry alone.
    p.window->setProperty("playlistVisible", true);
    QQuickItem* row = p.item("playlistRow0");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (row = p.item("playlistRow0")) && row->isVisible() && row->width() > 0; }, kGenerousMs));
    QTest::mouseClick(
        p.window, Qt::RightButton, {}, row->mapToScene(QPointF(row->width() / 2, row->height() / 2)).toPoint());
    QObject* itemMenu = p.part("itemMenu");
    ASSERT_NE(itemMenu, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return itemMenu->property("opened").toBool(); }, kGenerousMs));
    ASSERT_TRUE(RunningPlayer::choose(itemMenu, QStringLiteral("Convert...")));
    QObject* convert = p.part("convertDialog");
    EXPECT_TRUE(QTest::qWaitFor([&] { return RunningPlayer::isOpen(convert); }, kGenerousMs));
    EXPECT_EQ(convert->property("sources").toStringList(), QStringList { p.clip });
    ASSERT_TRUE(RunningPlayer::shut(convert));

    // Still one of each: no way in made a window of its own.
    for (const auto& row : kInstances)
        EXPECT_EQ(countOfType(p.window, row.type), 1) << row.type;
}

// Esc closes a modal dialog and leaves the window's keys working at once; typing in a field stays in the field.
TEST(Main, DialogKeyboard)
{
    ASSERT_TRUE(qEnvironmentVariableIsSet("PULSE_SERVER")) << "run under scripts/test.sh";
    RunningPlayer p;
    ASSERT_TRUE(p.start());
    // A file that outlasts the test on a slow machine: the checks below expect it still playing.
    ASSERT_TRUE(p.playClip(false, QString::fromStdString(kvr::test::fixture("thirty-seconds.mp4").string())));
    kvr::ui::MediaSessionBridge* player = p.app->bridge();

    const struct {
        const char* target;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    } modal[] = {
        { "infoDialog", Qt::Key_I, Qt::ControlModifier },
        { "prefsDialog", Qt::Key_P, Qt::ControlModifier },
        { "shortcutsDialog", Qt::Key_F1, Qt::NoModifier },
        { "urlDialog", Qt::Key_U, Qt::ControlModifier },
    };
    for (const auto& row : modal) {
        QObject* dialog = p.part(row.target);
        ASSERT_TRUE(RunningPlayer::activate(p.window));
        RunningPlayer::press(p.window, row.key, row.modifiers);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->property("opened").toBool(); }, kGenerousMs)) << row.target;
        // Open, it keeps the window's keys to itself.
        const bool muted = player->muted();
        RunningPlayer::press(p.window, Qt::Key_M);
        EXPECT_EQ(player->muted(), muted) << row.target;
        RunningPlayer::press(p.window, Qt::Key_Escape);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog->property("visible").toBool(); }, kGenerousMs)) << row.target;
        // The very next key is the window's again.
        RunningPlayer::press(p.window, Qt::Key_M);
        EXPECT_EQ(player->muted(), !muted) << row.target;
        RunningPlayer::press(p.window, Qt::Key_M);
        EXPECT_EQ(player->muted(), muted) << row.target;
    }

    // The same for the update dialog, opened by its action.
    QObject* updates = p.part("updateDialog");
    p.app->actions()->trigger(QStringLiteral("app.check_for_updates"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return updates->property("opened").toBool(); }, kGenerousMs));
    RunningPlayer::press(p.window, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !updates->property("visible").toBool(); }, kGenerousMs));
    const bool muted = player->muted();
    RunningPlayer::press(p.window, Qt::Key_M);
    EXPECT_EQ(player->muted(), !muted);
    RunningPlayer::press(p.window, Qt::Key_M);

    // "m" and Space typed into the address land there and neither mute nor pause.
    QObject* url = p.part("urlDialog");
    RunningPlayer::press(p.window, Qt::Key_U, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return url->property("opened").toBool(); }, kGenerousMs));
    QQuickItem* field = findItem(p.window->contentItem(), QStringLiteral("urlField"));
    ASSERT_NE(field, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return field->hasActiveFocus(); }, kGenerousMs));
    RunningPlayer::type(p.window, 'm');
    RunningPlayer::type(p.window, ' ');
    RunningPlayer::type(p.window, 'x');
    EXPECT_EQ(field->property("text").toString(), QStringLiteral("m x"));
    EXPECT_FALSE(player->muted());
    QTest::qWait(300);
    EXPECT_EQ(player->state(), State::Playing);
    RunningPlayer::press(p.window, Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !url->property("visible").toBool(); }, kGenerousMs));
    // The field gave the keyboard back with it: Space is the window's again.
    EXPECT_FALSE(field->hasActiveFocus());
    RunningPlayer::press(p.window, Qt::Key_Space);
    EXPECT_TRUE(QTest::qWaitFor([&] { return player->state() == State::Paused; }, kGenerousMs));

    // A dialog closed by its own button hands the keyboard back too.
    QObject* info = p.part("infoDialog");
    RunningPlayer::press(p.window, Qt::Key_I, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return info->property("opened").toBool(); }, kGenerousMs));
    QQuickItem* close = findItem(info->property("footer").value<QQuickItem*>(), QString(),
        [](QQuickItem* item) { return item->property("text").toString() == QStringLiteral("Close"); });
    ASSERT_TRUE(RunningPlayer::click(close));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !info->property("visible").toBool(); }, kGenerousMs));
    RunningPlayer::press(p.window, Qt::Key_M);
    EXPECT_TRUE(player->muted());
    RunningPlayer::press(p.window, Qt::Key_M);
    EXPECT_FALSE(player->muted());

    // Typing in another window's field never reaches the main window's keys.
    auto* cast = qobject_cast<QQuickWindow*>(p.part("castWindow"));
    RunningPlayer::press(p.window, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(cast));
    ASSERT_TRUE(RunningPlayer::activate(cast));
    QQuickItem* address = findItem(cast->contentItem(), QStringLiteral("addressField"));
    ASSERT_TRUE(RunningPlayer::click(address));
    ASSERT_TRUE(QTest::qWaitFor([&] { return address->hasActiveFocus(); }, kGenerousMs));
    RunningPlayer::type(cast, 'm');
    RunningPlayer::type(cast, ' ');
    EXPECT_EQ(address->property("text").toString(), QStringLiteral("m "));
    EXPECT_FALSE(player->muted());
    QTest::qWait(300);
    EXPECT_EQ(player->state(), State::Paused);
    ASSERT_TRUE(RunningPlayer::shut(cast));
    ASSERT_TRUE(RunningPlayer::activate(p.window));

    // In full screen a dialog's Esc closes the dialog only; the next Esc leaves full screen.
    RunningPlayer::press(p.window, Qt::Key_F11);
    ASSERT_TRUE(QTest::qWaitFor([&] { return p.window->visibility() == QWindow::FullScreen; }, kGenerousMs));
    ASSERT_TRUE(RunningPlayer::activate(p.window));
    QObject* prefs = p.part("prefsDialog");
    RunningPlayer::press(p.window, Qt::Key_P, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return prefs->property("opened").toBool(); }, kGenerousMs));
    RunningPlayer::press(p.window, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !prefs->property("visible").toBool(); }, kGenerousMs));
    QTest::qWait(200);
    EXPECT_EQ(p.window->visibility(), QWindow::FullScreen);
    RunningPlayer::press(p.window, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return p.window->visibility() != QWindow::FullScreen; }, kGenerousMs));
}

// The preferences, the About box, the Help menu and the action each run an update check that reaches the feed.
TEST(Main, DialogUpdateChains)
{
    RunningPlayer p;
    ASSERT_TRUE(p.start());
    QObject* dialog = p.part("updateDialog");
    kvr::ui::UpdateChecker* updates = p.updates();
    ASSERT_NE(updates, nullptr);

    // Each way must open the dialog and ask the feed once more, ending on "available".
    const auto checked = [&](const char* how, const std::function<void()>& start) {
        const qsizetype asked = p.feed.requests().size();
        start();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return dialog->property("opened").toBool() && p.feed.requests().size() > asked
                    && updates->state() == QLatin1String("available");
            },
            kGenerousMs))
            << how << ": " << updates->state().toStdString();
        QQuickItem* title = findItem(p.window->contentItem(), QStringLiteral("titleLabel"));
        ASSERT_NE(title, nullptr);
        EXPECT_EQ(title->property("text").toString(), QStringLiteral("Version 9.9.0 is available")) << how;
        ASSERT_TRUE(RunningPlayer::shut(dialog)) << how;
    };

    QObject* prefs = p.part("prefsDialog");
    checked("preferences", [&] {
        QMetaObject::invokeMethod(prefs, "open");
        ASSERT_TRUE(QTest::qWaitFor([&] { return prefs->property("opened").toBool(); }, kGenerousMs));
        EXPECT_TRUE(RunningPlayer::click(findItem(p.window->contentItem(), QStringLiteral("updatesButton"))));
    });
    EXPECT_FALSE(RunningPlayer::isOpen(prefs));

    QObject* about = p.part("aboutDialog");
    checked("about box", [&] {
        QMetaObject::invokeMethod(about, "open");
        ASSERT_TRUE(QTest::qWaitFor([&] { return about->property("opened").toBool(); }, kGenerousMs));
        EXPECT_TRUE(RunningPlayer::click(findItem(p.window->contentItem(), QStringLiteral("aboutUpdatesButton"))));
    });
    EXPECT_FALSE(RunningPlayer::isOpen(about));

    checked("help menu",
        [&] { EXPECT_TRUE(RunningPlayer::choose(p.part("helpMenu"), QStringLiteral("Check for &Updates..."))); });
    checked("action", [&] { EXPECT_TRUE(p.app->actions()->trigger(QStringLiteral("app.check_for_updates"))); });

    // The preferences' "Casting..." leaves them for the cast window.
    QMetaObject::invokeMethod(prefs, "open");
    ASSERT_TRUE(QTest::qWaitFor([&] { return prefs->property("opened").toBool(); }, kGenerousMs));
    ASSERT_TRUE(RunningPlayer::click(findItem(p.window->contentItem(), QStringLiteral("castingButton"))));
    QObject* cast = p.part("castWindow");
    EXPECT_TRUE(QTest::qWaitFor([&] { return RunningPlayer::isOpen(cast); }, kGenerousMs));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !prefs->property("visible").toBool(); }, kGenerousMs));
    EXPECT_TRUE(RunningPlayer::shut(cast));
}

// Ctrl+R then Convert queues the clip, shows the queue and reports the result; Adjust… on a failed job goes back
// to the conversion with that job's source alone.
TEST(Main, DialogConversionChain)
{
    ASSERT_TRUE(qEnvironmentVariableIsSet("PULSE_SERVER")) << "run under scripts/test.sh";
    RunningPlayer p;
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.playClip(true));
    auto* convert = qobject_cast<QQuickWindow*>(p.part("convertDialog"));
    auto* queue = qobject_cast<QQuickWindow*>(p.part("queueWindow"));
    QQuickItem* osd = p.item("osdText");
    ASSERT_NE(convert, nullptr);
    ASSERT_NE(queue, nullptr);
    ASSERT_NE(osd, nullptr);

    ASSERT_TRUE(RunningPlayer::activate(p.window));
    RunningPlayer::press(p.window, Qt::Key_R, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return convert->isVisible(); }, kGenerousMs));
    EXPECT_EQ(convert->property("sources").toStringList(), QStringList { p.clip });
    // Convert waits for the encoder probe, which answers on a worker.
    QQuickItem* convertButton = findItem(convert->contentItem(), QStringLiteral("convertButton"));
    ASSERT_NE(convertButton, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return convertButton->isEnabled(); }, 120000));
    ASSERT_TRUE(RunningPlayer::click(convertButton));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return osd->property("text").toString() == QStringLiteral("Added 1 file(s) to the conversion queue"); },
        kGenerousMs))
        << osd->property("text").toString().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return queue->isVisible() && !convert->isVisible(); }, kGenerousMs));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return osd->property("text").toString() == QStringLiteral("Converted: clip_converted.mp4"); }, 90000))
        << osd->property("text").toString().toStdString();
    EXPECT_TRUE(QFileInfo::exists(QFileInfo(p.clip).dir().filePath(QStringLiteral("clip_converted.mp4"))));

    // A source that is no media fails; its row offers Adjust….
    const QString broken = QFileInfo(p.clip).dir().filePath(QStringLiteral("broken.mp4"));
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("no media in here");
    file.close();
    ASSERT_EQ(p.converter()->addJobs({ broken }, p.converter()->lastSettings()), 1);
    QQuickItem* adjust = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            adjust = findItem(queue->contentItem(), QStringLiteral("adjustButton"),
                [](QQuickItem* item) { return item->isVisible() && item->isEnabled(); });
            return adjust != nullptr;
        },
        kGenerousMs));
    const QString shot = QStringLiteral(KVR_BINARY_DIR "/screenshots");
    QDir().mkpath(shot);
    EXPECT_TRUE(queue->grabWindow().save(shot + QStringLiteral("/main-window-queueWindow-jobs.png")));
    ASSERT_TRUE(RunningPlayer::click(adjust));
    ASSERT_TRUE(QTest::qWaitFor([&] { return convert->isVisible(); }, kGenerousMs));
    EXPECT_EQ(convert->property("sources").toStringList(), QStringList { broken });
    EXPECT_TRUE(RunningPlayer::shut(convert));
    EXPECT_TRUE(RunningPlayer::shut(queue));
}

// The secondary windows are kept: reopened, each is the same object at its last size; the effects window
// closed by its frame puts back what it found; hidden windows stay hidden through a full-screen toggle.
TEST(Main, DialogInstancesKeepTheirState)
{
    ASSERT_TRUE(qEnvironmentVariableIsSet("PULSE_SERVER")) << "run under scripts/test.sh";
    RunningPlayer p;
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.playClip(true));

    const struct {
        const char* name;
        const char* open;
    } windows[] = {
        { "fxDialog", "openDialog" },
        { "castWindow", "openWindow" },
        { "convertDialog", "openWith" },
        { "queueWindow", "openWindow" },
    };
    const auto open = [&](QObject* object, const char* how) {
        if (qstrcmp(how, "openWith") == 0)
            QMetaObject::invokeMethod(object, how, Q_ARG(QVariant, QVariant(QStringList { p.clip })));
        else
            QMetaObject::invokeMethod(object, how);
        return QTest::qWaitFor([&] { return qobject_cast<QWindow*>(object)->isExposed(); }, kGenerousMs);
    };
    for (const auto& row : windows) {
        auto* w = qobject_cast<QQuickWindow*>(p.part(row.name));
        ASSERT_NE(w, nullptr) << row.name;
        ASSERT_TRUE(open(w, row.open)) << row.name;
        const QSize size = w->size() + QSize(37, 23);
        ASSERT_TRUE(settleSize(w, size)) << row.name;
        ASSERT_TRUE(RunningPlayer::shut(w)) << row.name;
        ASSERT_TRUE(open(w, row.open)) << row.name;
        EXPECT_EQ(p.part(row.name), w) << row.name;
        EXPECT_EQ(w->size(), size) << row.name;
        ASSERT_TRUE(RunningPlayer::shut(w)) << row.name;
    }
    // A window nobody opened is not made at all.
    for (const auto& row : kInstances)
        EXPECT_LE(countOfType(p.window, row.type), 1) << row.type;

    // What the effects window changed goes back when its frame closes it.
    auto* fx = qobject_cast<QQuickWindow*>(p.part("fxDialog"));
    const auto brightness
        = [&] { return p.app->bridge()->property("videoFilters").toMap().value("brightness").toDouble(); };
    const double before = brightness();
    ASSERT_TRUE(open(fx, "openDialog"));
    QMetaObject::invokeMethod(fx, "setV", Q_ARG(QVariant, QStringLiteral("brightness")), Q_ARG(QVariant, 0.25));
    EXPECT_TRUE(QTest::qWaitFor([&] { return qAbs(brightness() - 0.25) < 1e-6; }, kGenerousMs)) << brightness();
    fx->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !fx->isVisible(); }, kGenerousMs));
    EXPECT_TRUE(QTest::qWaitFor([&] { return qAbs(brightness() - before) < 1e-6; }, kGenerousMs)) << brightness();

    // Full screen and back: the main window alone changes; nothing hidden comes back.
    for (const QWindow::Visibility expected : { QWindow::FullScreen, QWindow::Windowed }) {
        p.app->actions()->trigger(QStringLiteral("window.toggleFullscreen"));
        EXPECT_TRUE(QTest::qWaitFor([&] { return p.window->visibility() == expected; }, kGenerousMs));
        QTest::qWait(200);
        for (const auto& row : windows)
            EXPECT_FALSE(qobject_cast<QWindow*>(p.part(row.name))->isVisible()) << row.name;
    }
}

// Pictures of the player with each modal dialog over it, and of each other window, for a person to look at.
TEST(Main, DialogScreenshots)
{
    ASSERT_TRUE(qEnvironmentVariableIsSet("PULSE_SERVER")) << "run under scripts/test.sh";
    RunningPlayer p;
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.playClip(true));
    p.window->setProperty("playlistVisible", false);
    const QString dir = QStringLiteral(KVR_BINARY_DIR "/screenshots");
    QDir().mkpath(dir);
    // The paused picture is up once the middle of the stage is no longer black.
    QQuickItem* stage = p.item("stage");
    ASSERT_NE(stage, nullptr);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QPoint centre = stage->mapToScene(QPointF(stage->width() / 2, stage->height() / 2)).toPoint();
            const QImage image = p.window->grabWindow();
            return !image.isNull() && (image.pixel(centre) & 0xffffff) != 0;
        },
        kGenerousMs));

    const auto save = [&](QQuickWindow* w, const QString& name) {
        QImage image;
        // A frame or two may pass before the newly shown content is drawn.
        QTest::qWait(300);
        image = w->grabWindow();
        ASSERT_FALSE(image.isNull()) << name.toStdString();
        EXPECT_TRUE(image.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"))) << name.toStdString();
    };

    const struct {
        const char* name;
        const char* open;
    } modal[] = {
        { "infoDialog", "open" },
        { "prefsDialog", "open" },
        { "shortcutsDialog", "open" },
        { "urlDialog", "open" },
        { "updateDialog", "checkNow" },
        { "aboutDialog", "open" },
    };
    for (const auto& row : modal) {
        QObject* dialog = p.part(row.name);
        ASSERT_NE(dialog, nullptr) << row.name;
        QMetaObject::invokeMethod(dialog, row.open);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->property("opened").toBool(); }, kGenerousMs)) << row.name;
        if (qstrcmp(row.name, "updateDialog") == 0) {
            ASSERT_TRUE(
                QTest::qWaitFor([&] { return p.updates()->state() == QLatin1String("available"); }, kGenerousMs));
        }
        save(p.window, QStringLiteral("main-dialog-%1").arg(QLatin1String(row.name)));
        ASSERT_TRUE(RunningPlayer::shut(dialog)) << row.name;
    }

    const struct {
        const char* name;
        const char* open;
    } windows[] = {
        { "fxDialog", "openDialog" },
        { "castWindow", "openWindow" },
        { "convertDialog", "openWith" },
        { "queueWindow", "openWindow" },
    };
    for (const auto& row : windows) {
        auto* w = qobject_cast<QQuickWindow*>(p.part(row.name));
        ASSERT_NE(w, nullptr) << row.name;
        if (qstrcmp(row.open, "openWith") == 0)
            QMetaObject::invokeMethod(w, row.open, Q_ARG(QVariant, QVariant(QStringList { p.clip })));
        else
            QMetaObject::invokeMethod(w, row.open);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w)) << row.name;
        save(w, QStringLiteral("main-window-%1").arg(QLatin1String(row.name)));
        ASSERT_TRUE(RunningPlayer::shut(w)) << row.name;
    }
}
