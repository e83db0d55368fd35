#include "platform/FileChooserPortal.h"

#include "tests/platform/BusHarness.h"
#include "tests/platform/FakePortal.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

// The filters as the portal got them: "name:pattern pattern" per filter.
QStringList filtersOf(const QVariant& value)
{
    QStringList out;
    if (value.metaType() != QMetaType::fromType<QDBusArgument>())
        return out;
    const auto argument = value.value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        QString name;
        argument.beginStructure();
        argument >> name;
        QStringList patterns;
        argument.beginArray();
        while (!argument.atEnd()) {
            uint type = 0;
            QString pattern;
            argument.beginStructure();
            argument >> type >> pattern;
            argument.endStructure();
            patterns << QString::number(type) + pattern;
        }
        argument.endArray();
        argument.endStructure();
        out << name + QLatin1Char(':') + patterns.join(QLatin1Char(' '));
    }
    argument.endArray();
    return out;
}

} // namespace

class FileChooserPortal : public testing::Test {
protected:
    void SetUp() override
    {
        if (!kvr::test::withoutBus()) {
            ASSERT_TRUE(kvr::test::privateBusRunning());
        }
    }
};

TEST_F(FileChooserPortal, SplitsNameFilters)
{
    const struct {
        const char* text;
        const char* name;
        QStringList patterns;
    } cases[] = {
        { "Playlists (*.m3u *.M3U *.pls)", "Playlists", { "*.m3u", "*.M3U", "*.pls" } },
        { "All files (*)", "All files", { "*" } },
        { "Tom & Jerry (<b>) (*.mkv)", "Tom & Jerry (<b>)", { "*.mkv" } },
        { "No patterns", "No patterns", { "*" } },
        { "(*.srt)", "*.srt", { "*.srt" } },
    };
    for (const auto& c : cases) {
        QString name;
        QStringList patterns;
        kvr::platform::splitNameFilter(QString::fromUtf8(c.text), &name, &patterns);
        EXPECT_EQ(name, QString::fromUtf8(c.name)) << c.text;
        EXPECT_EQ(patterns, c.patterns) << c.text;
    }
}

// Each mode asks the portal's method with its options, and the portal's answer comes back as chosen.
TEST_F(FileChooserPortal, AsksThePortalAndTakesItsAnswer)
{
    const struct {
        const char* mode;
        const char* method;
        uint response;
        bool ownPath;
        QStringList uris;
        bool accepted;
    } cases[] = {
        { "open", "OpenFile", 0, false, { "file:///home/u/a%20b.mkv" }, true },
        { "openMany", "OpenFile", 0, false, { "file:///x/1.mp4", "file:///x/2.mp4" }, true },
        { "folder", "OpenFile", 0, true, { "file:///x/Music" }, true },
        { "save", "SaveFile", 0, false, { "file:///x/list.m3u8" }, true },
        { "save", "SaveFile", 1, false, {}, false },
        { "open", "OpenFile", 2, false, {}, false },
    };
    kvr::test::FakePortal portal(QStringLiteral("fake-portal"));
    ASSERT_TRUE(portal.registered);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " answered " + std::to_string(c.response));
        portal.response = c.response;
        portal.uris = c.uris;
        portal.ownPath = c.ownPath;
        kvr::platform::FileChooserPortal chooser;
        QSignalSpy finished(&chooser, &kvr::platform::FileChooserPortal::finished);
        QSignalSpy unavailable(&chooser, &kvr::platform::FileChooserPortal::unavailable);
        const QVariantMap options {
            { QStringLiteral("mode"), QString::fromLatin1(c.mode) },
            { QStringLiteral("title"), QStringLiteral("Save playlist") },
            { QStringLiteral("acceptLabel"), QStringLiteral("Save") },
            { QStringLiteral("nameFilters"), QStringList { QStringLiteral("M3U8 playlist (*.m3u8 *.M3U8)") } },
            { QStringLiteral("currentName"), QStringLiteral("Road Trip.m3u8") },
            { QStringLiteral("currentFolder"), QUrl::fromLocalFile(QStringLiteral("/tmp/a #1")) },
        };
        ASSERT_TRUE(chooser.ask(options));
        EXPECT_TRUE(chooser.busy());
        // One question at a time.
        EXPECT_FALSE(chooser.ask(options));
        ASSERT_TRUE(kvr::test::waitUntil([&] { return finished.size() + unavailable.size() > 0; }, 10000));
        ASSERT_EQ(finished.size(), 1);
        EXPECT_EQ(unavailable.size(), 0);
        EXPECT_EQ(finished[0][0].toBool(), c.accepted);
        EXPECT_EQ(finished[0][1].toStringList(), c.uris);
        EXPECT_FALSE(chooser.busy());

        EXPECT_EQ(portal.method, QString::fromLatin1(c.method));
        EXPECT_EQ(portal.title, QStringLiteral("Save playlist"));
        EXPECT_EQ(portal.options.value(QStringLiteral("accept_label")).toString(), QStringLiteral("Save"));
        EXPECT_TRUE(portal.options.value(QStringLiteral("modal")).toBool());
        EXPECT_EQ(filtersOf(portal.options.value(QStringLiteral("filters"))),
            QStringList { QStringLiteral("M3U8 playlist:0*.m3u8 0*.M3U8") });
        EXPECT_EQ(portal.options.value(QStringLiteral("current_folder")).toByteArray(), QByteArray("/tmp/a #1\0", 10));
        const bool save = portal.method == QLatin1String("SaveFile");
        EXPECT_EQ(portal.options.value(QStringLiteral("current_name")).toString(),
            save ? QStringLiteral("Road Trip.m3u8") : QString());
        EXPECT_EQ(portal.options.value(QStringLiteral("multiple")).toBool(), QByteArray(c.mode) == "openMany");
        EXPECT_EQ(portal.options.value(QStringLiteral("directory")).toBool(), QByteArray(c.mode) == "folder");
        EXPECT_EQ(portal.options.contains(QStringLiteral("multiple")), !save);
    }
}

// No portal on the bus: an error reply, and the caller shows its own dialog.
TEST_F(FileChooserPortal, WithoutAPortalReportsUnavailable)
{
    kvr::platform::FileChooserPortal chooser;
    QSignalSpy finished(&chooser, &kvr::platform::FileChooserPortal::finished);
    QSignalSpy unavailable(&chooser, &kvr::platform::FileChooserPortal::unavailable);
    ASSERT_TRUE(chooser.ask({ { QStringLiteral("mode"), QStringLiteral("open") } }));
    ASSERT_TRUE(kvr::test::waitUntil([&] { return unavailable.size() > 0; }, 10000));
    EXPECT_EQ(finished.size(), 0);
    EXPECT_FALSE(chooser.busy());
    // The next question is asked again: a portal may have started since.
    EXPECT_TRUE(chooser.ask({ { QStringLiteral("mode"), QStringLiteral("open") } }));
    ASSERT_TRUE(kvr::test::waitUntil([&] { return unavailable.size() > 1; }, 10000));
}

TEST_F(FileChooserPortal, WithoutASessionBusAsksNothing)
{
    if (kvr::test::runCurrentTestWithoutBus())
        return;
    kvr::platform::FileChooserPortal chooser;
    EXPECT_FALSE(chooser.ask({ { QStringLiteral("mode"), QStringLiteral("save") } }));
    EXPECT_FALSE(chooser.busy());
}
