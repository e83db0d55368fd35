#include "tests/support/TestSupport.h"
#include "tests/ui/library/SeedLibrary.h"
#include "ui/library/Database.h"
#include "ui/library/Library.h"
#include "ui/library/LibraryModel.h"
#include "ui/library/Statement.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using kvr::test::SeedLibrary;
using kvr::ui::library::Database;
using kvr::ui::library::Library;
using kvr::ui::library::LibraryModel;
using kvr::ui::library::Statement;

namespace {

QVariantMap map(std::initializer_list<std::pair<QString, QVariant>> entries)
{
    QVariantMap result;
    for (const auto& [k, v] : entries)
        result.insert(k, v);
    return result;
}

// A Library whose revision a test can raise, as an edit does.
class EditedLibrary : public Library {
public:
    using Library::bumpRevision;
};

std::vector<std::string> column(const LibraryModel& model, int role)
{
    std::vector<std::string> out;
    for (int row = 0; row < model.rowCount(); ++row)
        out.push_back(model.data(model.index(row), role).toString().toStdString());
    return out;
}

std::string text(const LibraryModel& model, int row, int role)
{
    return model.data(model.index(row), role).toString().toStdString();
}

// Checks the model with Qt's model tester for as long as it lives, and counts what the tester reports.
// Qt 6.4's tester takes a reset for a change still in flight when its own checks fetch more rows inside
// it, so a checked model is reset only before the tester is made.
class ModelCheck {
public:
    explicit ModelCheck(LibraryModel& model)
    {
        failures = 0;
        previous = qInstallMessageHandler(&ModelCheck::handle);
        tester = std::make_unique<QAbstractItemModelTester>(
            &model, QAbstractItemModelTester::FailureReportingMode::Warning);
    }
    ~ModelCheck()
    {
        tester.reset();
        qInstallMessageHandler(previous);
    }
    static int failures;

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (context.category && qstrcmp(context.category, "qt.modeltest") == 0)
            ++failures;
        if (previous)
            previous(type, context, message);
    }
    static QtMessageHandler previous;
    std::unique_ptr<QAbstractItemModelTester> tester;
};
int ModelCheck::failures = 0;
QtMessageHandler ModelCheck::previous = nullptr;

// A fresh data directory for the Library; the seeded library is written there unless a test fills its own.
class LibraryModelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(media.isValid());
        dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        ASSERT_TRUE(dataDir.startsWith(QString::fromStdString(kvr::test::scratchDirectory().string())));
        QDir(dataDir).removeRecursively();
        QDir().mkpath(dataDir);
    }

    void TearDown() override
    {
        library.reset();
        db.close();
    }

    EditedLibrary& openSeeded()
    {
        EXPECT_TRUE(SeedLibrary::write(dataDir + "/library.db", media.path()));
        library = std::make_unique<EditedLibrary>();
        EXPECT_TRUE(db.open(dataDir + "/library.db"));
        return *library;
    }

    // An empty library with `count` audio items titled "Track 0001" on, written beside the Library's own
    // connection, as the scanner writes.
    EditedLibrary& openWithTracks(int count)
    {
        library = std::make_unique<EditedLibrary>();
        EXPECT_TRUE(db.open(library->databasePath()));
        addTracks(1, count);
        return *library;
    }

    void addTracks(int first, int count)
    {
        ASSERT_TRUE(db.exec("BEGIN"));
        Statement insert = db.prepare("INSERT INTO sources(uri, kind, available, u_title, date_added) "
                                      "VALUES(?1, 'audio', 1, ?2, 0)");
        for (int n = first; n < first + count; ++n) {
            const QString title = QStringLiteral("Track %1").arg(n, 4, 10, QLatin1Char('0'));
            insert.bindText(1, media.path() + "/" + title + ".mp3").bindText(2, title);
            ASSERT_TRUE(insert.run());
            insert.reset();
        }
        ASSERT_TRUE(db.exec("COMMIT"));
    }

    QTemporaryDir media;
    QString dataDir;
    Database db;
    std::unique_ptr<EditedLibrary> library;
};

TEST_F(LibraryModelTest, PagesThroughALongListCountingOnlyOnTheFirstPage)
{
    EditedLibrary& lib = openWithTracks(500);
    LibraryModel model;
    QSignalSpy totals(&model, &LibraryModel::totalChanged);
    EXPECT_FALSE(model.canFetchMore({})) << "nothing to fetch without a library";

    model.setLibrary(&lib);
    model.setParams(map({ { "view", "tracks" } }));
    EXPECT_EQ(model.total(), 500);
    EXPECT_EQ(model.count(), 200);
    EXPECT_EQ(text(model, 0, LibraryModel::TitleRole), "Track 0001");
    {
        // The tester fetches pages of its own as it checks.
        ModelCheck check(model);
        while (model.canFetchMore({}))
            model.fetchMore({});
        EXPECT_EQ(ModelCheck::failures, 0);
    }
    EXPECT_EQ(model.count(), 500);
    EXPECT_EQ(model.total(), 500);
    EXPECT_EQ(text(model, 499, Qt::DisplayRole), "Track 0500");
    EXPECT_FALSE(model.canFetchMore(model.index(0))) << "rows have no children";

    // The list shrinks by ten rows under a loaded first page, without a new revision. Later pages keep the
    // first page's total (a page that counted again would bring it down at once); the empty page at the end
    // sets it to what is loaded and ends the fetching.
    lib.bumpRevision();
    EXPECT_EQ(model.count(), 200) << "a new revision reloads the first page";
    ASSERT_TRUE(db.exec("DELETE FROM sources WHERE u_title > 'Track 0490'"));
    totals.clear();
    model.fetchMore({});
    model.fetchMore({});
    EXPECT_EQ(totals.count(), 2);
    EXPECT_EQ(model.count(), 490);
    EXPECT_EQ(model.total(), 500);
    totals.clear();
    ASSERT_TRUE(model.canFetchMore({}));
    model.fetchMore({});
    EXPECT_EQ(model.count(), 490);
    EXPECT_EQ(model.total(), 490);
    EXPECT_EQ(totals.count(), 1);
    EXPECT_FALSE(model.canFetchMore({}));
}

TEST_F(LibraryModelTest, TitlesAndSubtitles)
{
    const QVariantMap none;
    const QVariantMap seasons = map({ { "view", "seasons" } });
    const QVariantMap years = map({ { "view", "years" } });
    struct Case {
        const char* what;
        QVariantMap row;
        QVariantMap params;
        QString title;
        QString subtitle;
    };
    const QString dot = QStringLiteral(" \u00b7 ");
    const Case cases[] = {
        { "season without a number", map({ { "type", "group" }, { "name", QVariant() }, { "count", 2 } }), seasons,
            "Specials", "2 items" },
        { "numbered season", map({ { "type", "group" }, { "name", 3 }, { "count", 1 } }), seasons, "Season 3",
            "1 item" },
        { "item in the seasons view keeps its title", map({ { "type", "item" }, { "title", "Pilot" } }), seasons,
            "Pilot", "" },
        { "nothing at all", map({ { "type", "item" } }), none, "Unknown", "" },
        { "item title wins over name", map({ { "type", "item" }, { "title", "T" }, { "name", "N" } }), none, "T", "" },
        { "group shows its name", map({ { "type", "group" }, { "title", "T" }, { "name", "N" }, { "count", 0 } }), none,
            "N", "0 items" },
        { "playlist entry without a title",
            map({ { "type", "item" }, { "id", QVariant() }, { "uri", "/music/Elsewhere/live.set.flac" } }), none,
            "live.set", "" },
        { "episode",
            map({ { "type", "item" }, { "title", "E5" }, { "category", "episode" }, { "show", "Deep Sea" },
                { "season", 1 }, { "episode", 5 }, { "year", 2020 } }),
            none, "E5", "Deep Sea" + dot + "S01E05" },
        { "episode of no show",
            map({ { "type", "item" }, { "category", "episode" }, { "season", 1 }, { "episode", 5 },
                { "uri", "/v/e.mkv" } }),
            none, "e", dot + "S01E05" },
        { "episode without a season",
            map({ { "type", "item" }, { "category", "episode" }, { "show", "Kitchen Diaries" }, { "episode", 2 },
                { "season", QVariant() } }),
            none, "Unknown", "Kitchen Diaries" },
        { "video without artist and album",
            map({ { "type", "item" }, { "kind", "video" }, { "height", 720 }, { "year", 2019 } }), none, "Unknown",
            "720p" + dot + "2019" },
        { "video without height or year", map({ { "type", "item" }, { "kind", "video" }, { "height", 0 } }), none,
            "Unknown", "" },
        { "track",
            map({ { "type", "item" }, { "kind", "audio" }, { "artist", "Mira Sol" }, { "album", "Harbour" },
                { "year", 2021 }, { "height", 1080 } }),
            none, "Unknown", "Mira Sol" + dot + "Harbour" + dot + "2021" },
        { "video with an artist never shows its height",
            map({ { "type", "item" }, { "kind", "video" }, { "artist", "A" }, { "height", 1080 } }), none, "Unknown",
            "A" },
        { "album group",
            map({ { "type", "group" }, { "name", "Fjord" }, { "sub", "Nordlys" }, { "year", 2017 }, { "count", 4 } }),
            none, "Fjord", "Nordlys" + dot + "2017" + dot + "4 items" },
        { "year group leaves the year out",
            map({ { "type", "group" }, { "name", 2017 }, { "year", 2017 }, { "count", 1 } }), years, "2017", "1 item" },
        { "folder", map({ { "type", "folder" }, { "name", "Music" }, { "count", 0 } }), none, "Music", "0 items" },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LibraryModel::titleFor(c.row, c.params).toStdString(), c.title.toStdString()) << c.what;
        EXPECT_EQ(LibraryModel::subtitleFor(c.row, c.params).toStdString(), c.subtitle.toStdString()) << c.what;
    }
}

TEST_F(LibraryModelTest, RolesOfTheSeededLibrary)
{
    EditedLibrary& lib = openSeeded();
    LibraryModel model;
    model.setLibrary(&lib);

    model.setParams(map({ { "view", "seasons" }, { "key", map({ { "show", "Deep Sea" } }) } }));
    {
        ModelCheck check(model);
        EXPECT_EQ(ModelCheck::failures, 0);
    }
    EXPECT_EQ(column(model, LibraryModel::TitleRole), std::vector<std::string>({ "Season 1", "Season 2" }));
    EXPECT_EQ(column(model, LibraryModel::SubtitleRole), std::vector<std::string>({ "3 items", "2 items" }));
    EXPECT_EQ(text(model, 0, LibraryModel::RowTypeRole), "group");

    model.setParams(map({ { "view", "episodes" }, { "key", map({ { "show", "Deep Sea" }, { "season", 1 } }) } }));
    EXPECT_EQ(column(model, LibraryModel::SubtitleRole),
        std::vector<std::string>({ "Deep Sea \u00b7 S01E01", "Deep Sea \u00b7 S01E02", "Deep Sea \u00b7 S01E03" }));

    model.setParams(map({ { "view", "albums" } }));
    const std::vector<std::string> covers = column(model, LibraryModel::CoverRole);
    EXPECT_EQ(std::count(covers.begin(), covers.end(), "image://library/cover-northern-lights"), 1);
    EXPECT_EQ(std::count(covers.begin(), covers.end(), ""), int(covers.size()) - 1)
        << "albums without a cover key have no cover";

    model.setParams(map({ { "view", "playlist" }, { "key", map({ { "playlist", 1 } }) } }));
    ASSERT_EQ(model.count(), 5);
    const QVariantMap aurora = model.get(0);
    EXPECT_EQ(model.data(model.index(0), LibraryModel::RowRole).toMap(), aurora);
    EXPECT_EQ(model.data(model.index(0), LibraryModel::ItemIdRole), aurora.value("id"));
    EXPECT_EQ(model.data(model.index(0), LibraryModel::UriRole), aurora.value("uri"));
    EXPECT_EQ(text(model, 3, LibraryModel::TitleRole), "not in library");
    EXPECT_FALSE(model.data(model.index(0), Qt::DecorationRole).isValid());
    EXPECT_FALSE(model.data(model.index(5), LibraryModel::TitleRole).isValid());
    EXPECT_EQ(model.roleNames().value(LibraryModel::CoverRole), "cover");
    EXPECT_EQ(model.roleNames().size(), 7);

    EXPECT_TRUE(model.get(-1).isEmpty());
    EXPECT_TRUE(model.get(model.count()).isEmpty());
    // Entry 3 lies outside the library (no id); entry 4 is the library's unavailable item.
    EXPECT_EQ(model.idsAt({ 4, 3, 0, 99, -1 }), QVariantList({ model.get(4).value("id"), aurora.value("id") }));
    EXPECT_EQ(
        model.urisAt({ 3, 0 }), QStringList({ model.get(3).value("uri").toString(), aurora.value("uri").toString() }));
    EXPECT_EQ(model.get(3).value("uri").toString(), SeedLibrary::uri(media.path(), "Elsewhere/not in library.mp3"));

    model.setParams(map({ { "view", "artists" } }));
    EXPECT_TRUE(model.idsAt({ 0, 1 }).isEmpty()) << "groups have no ids";
    EXPECT_TRUE(model.urisAt({ 0, 1 }).isEmpty());
    model.setParams(map({ { "view", "folders" } }));
    ASSERT_EQ(model.count(), 2);
    EXPECT_EQ(text(model, 0, LibraryModel::RowTypeRole), "folder");
    EXPECT_TRUE(model.idsAt({ 0, 1 }).isEmpty());
    EXPECT_TRUE(model.urisAt({ 0, 1 }).isEmpty());
}

TEST_F(LibraryModelTest, ReloadsOnlyWhenSomethingChanged)
{
    EditedLibrary& lib = openSeeded();
    LibraryModel model;
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy paramsChanges(&model, &LibraryModel::paramsChanged);
    QSignalSpy libraryChanges(&model, &LibraryModel::libraryChanged);

    model.setLibrary(&lib);
    EXPECT_EQ(libraryChanges.count(), 1);
    model.setLibrary(&lib);
    EXPECT_EQ(libraryChanges.count(), 1) << "the same library again";
    const QVariantMap tracks = map({ { "view", "tracks" }, { "search", "aurora" } });
    model.setParams(tracks);
    ASSERT_EQ(model.count(), 1);
    resets.clear();
    paramsChanges.clear();

    model.setParams(QVariantMap(tracks));
    EXPECT_EQ(paramsChanges.count(), 0);
    EXPECT_EQ(resets.count(), 0);

    emit lib.contentChanged();
    EXPECT_EQ(resets.count(), 0) << "no new revision";
    emit lib.playlistsChanged();
    EXPECT_EQ(resets.count(), 0) << "not a playlist view";
    lib.bumpRevision();
    EXPECT_EQ(resets.count(), 1);

    model.setParams(map({ { "view", "playlist" }, { "key", map({ { "playlist", 1 } }) } }));
    resets.clear();
    emit lib.playlistsChanged();
    EXPECT_EQ(resets.count(), 1);

    // Anything but a Library counts as none.
    QObject other;
    model.setLibrary(&other);
    EXPECT_EQ(model.library(), nullptr);
    EXPECT_EQ(model.count(), 0);
    EXPECT_EQ(model.total(), 0);
    lib.bumpRevision();
    emit lib.playlistsChanged();
    EXPECT_EQ(resets.count(), 2) << "the old library's signals are no longer followed";

    // A library that goes away leaves a model that fetches nothing and reloads empty.
    model.setParams(map({ { "view", "tracks" } }));
    model.setLibrary(&lib);
    ASSERT_GT(model.count(), 0);
    library.reset();
    EXPECT_EQ(model.library(), nullptr);
    EXPECT_FALSE(model.canFetchMore({}));
    model.reload();
    EXPECT_EQ(model.count(), 0);
    EXPECT_EQ(model.total(), 0);
}

} // namespace
