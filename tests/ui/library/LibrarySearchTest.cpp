#include "tests/ui/library/SeedLibrary.h"
#include "ui/library/Database.h"
#include "ui/library/Library.h"
#include "ui/library/Statement.h"
#include "ui/library/Transaction.h"

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <mutex>
#include <set>
#include <utility>
#include <vector>

using kvr::test::SeedLibrary;
using kvr::ui::library::Database;
using kvr::ui::library::Library;
using kvr::ui::library::Statement;
using kvr::ui::library::Transaction;

namespace {

// Errors SQLite reports through its log (a statement that fails to prepare or aborts while stepping).
// Notices and warnings (recovered WAL frames, automatic indexes) are not errors.
class SqliteErrors {
public:
    // SQLite takes a log callback only before it initialises, so it is shut down and started again; no
    // connection may be open at that moment, which holds at the start of a test suite.
    static bool install()
    {
        static const bool installed = [] {
            sqlite3_shutdown();
            const int rc = sqlite3_config(SQLITE_CONFIG_LOG, &SqliteErrors::log, nullptr);
            sqlite3_initialize();
            return rc == SQLITE_OK;
        }();
        return installed;
    }

    static QStringList take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(lines, {});
    }

private:
    static void log(void*, int code, const char* message)
    {
        const int primary = code & 0xff;
        if (primary == SQLITE_NOTICE || primary == SQLITE_WARNING)
            return;
        std::lock_guard lock(mutex);
        lines << QString::fromUtf8(message).left(300);
    }

    static inline std::mutex mutex;
    static inline QStringList lines;
};

// Keeps the Qt warnings of its lifetime (the statement layer logs a failed preparation with its whole SQL,
// megabytes for a pasted text) out of the test output, and counts them.
class QuietWarnings {
public:
    QuietWarnings() { previous = qInstallMessageHandler(&QuietWarnings::handle); }
    ~QuietWarnings() { qInstallMessageHandler(previous); }

    static inline int count = 0;

private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString&)
    {
        if (type == QtWarningMsg)
            ++count;
    }

    static inline QtMessageHandler previous = nullptr;
};

// The ids a list query with these search clauses returns, joined and bound the way the library's queries
// do it: the clauses joined with " AND ", their values bound from 1, then the page's limit and offset.
// `ok` is false when the statement did not prepare or a step failed.
std::set<qint64> runSearch(Database& db, const Library::ClauseList& where, bool* ok = nullptr)
{
    QString sql = QStringLiteral("SELECT id FROM items");
    if (!where.clauses.isEmpty())
        sql += QStringLiteral(" WHERE ") + where.clauses.join(QStringLiteral(" AND "));
    sql += QStringLiteral(" ORDER BY id LIMIT ? OFFSET ?");
    Statement st = db.prepare(sql);
    int index = 1;
    for (const QVariant& value : where.values)
        st.bindValue(index++, value);
    st.bindInt64(index, 100000);
    st.bindInt64(index + 1, 0);
    std::set<qint64> ids;
    while (st.next())
        ids.insert(st.columnInt64(0));
    if (ok)
        *ok = st.isValid() && SqliteErrors::take().isEmpty();
    return ids;
}

// A value as "d:80" (double), "i:…" (64-bit integer) or "t:…" (text), so a table can say which type it wants.
QString typed(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Double:
        return QStringLiteral("d:") + QString::number(value.toDouble(), 'g', 17);
    case QMetaType::LongLong:
        return QStringLiteral("i:") + QString::number(value.toLongLong());
    case QMetaType::QString:
        return QStringLiteral("t:") + value.toString();
    default:
        return QStringLiteral("?:") + value.toString();
    }
}

QStringList typed(const QVariantList& values)
{
    QStringList out;
    for (const QVariant& v : values)
        out << typed(v);
    return out;
}

const char* const mediaRoot = "/data/seed";

class LibrarySearch : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(SqliteErrors::install()); }

    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("library.db"));
        ASSERT_TRUE(SeedLibrary::write(path, QString::fromLatin1(mediaRoot)));
        ASSERT_TRUE(db.open(path));
        addItem("Music/Singles/Kora and Vessel.mp3", "Kora & Vessel");
        addItem("Music/Singles/alpha beta gamma.mp3", "Alpha/Beta - Gamma");

        Statement st = db.prepare("SELECT id, title FROM items");
        while (st.next()) {
            ASSERT_FALSE(idOf.contains(st.columnText(1)))
                << "titles must be unique: " << st.columnText(1).toStdString();
            idOf.insert(st.columnText(1), st.columnInt64(0));
        }
        ASSERT_EQ(idOf.size(), SeedLibrary::itemCount + 2);
        SqliteErrors::take();
    }

    // Two audio singles whose titles are mostly punctuation, written as the scanner writes its rows.
    void addItem(const char* relativePath, const char* title)
    {
        Transaction tx(db);
        Statement source = db.prepare(
            "INSERT INTO sources(uri, folder_id, kind, duration_us, format, primary_codec, audio_codec, bitrate, "
            "available, date_added) VALUES(?1, 1, 'audio', 200000000, 'mp3', 'mp3', 'mp3', 128000, 1, ?2)");
        source.bindText(1, SeedLibrary::uri(QString::fromLatin1(mediaRoot), QString::fromUtf8(relativePath)))
            .bindInt64(2, QDateTime::currentSecsSinceEpoch() - 400 * 86400);
        tx.run(source);
        const qint64 id = db.lastInsertId();
        Statement track = db.prepare("INSERT INTO tracks(source_id, title) VALUES(?1, ?2)");
        track.bindInt64(1, id).bindText(2, QString::fromUtf8(title));
        tx.run(track);
        Statement search = db.prepare("INSERT INTO search(rowid, title, artist, path) SELECT id, title, '  ', uri "
                                      "FROM items WHERE id = ?1");
        search.bindInt64(1, id);
        tx.run(search);
        ASSERT_TRUE(tx.commit());
    }

    std::set<qint64> ids(const std::vector<const char*>& titles)
    {
        std::set<qint64> out;
        for (const char* title : titles) {
            const QString t = QString::fromUtf8(title);
            EXPECT_TRUE(idOf.contains(t)) << "no item titled " << title;
            out.insert(idOf.value(t));
        }
        return out;
    }

    std::set<qint64> allBut(const std::vector<const char*>& titles)
    {
        const std::set<qint64> excluded = ids(titles);
        std::set<qint64> out;
        for (const qint64 id : idOf)
            if (!excluded.count(id))
                out.insert(id);
        return out;
    }

    QTemporaryDir dir;
    Database db;
    QHash<QString, qint64> idOf;
};

// The condition every full-text term becomes; "@" stands for it in the expected clause texts below.
const QString fullText = QStringLiteral("id IN (SELECT rowid FROM search WHERE search MATCH ?)");
const QString lossless
    = QStringLiteral("(audio_codec IN ('flac','alac','wavpack','ape','tta') OR audio_codec LIKE 'pcm%')");

QStringList expand(const std::vector<const char*>& clauses)
{
    QStringList out;
    for (const char* c : clauses)
        out << QString::fromUtf8(c).replace(QLatin1Char('@'), fullText).replace(QLatin1String("LOSSLESS"), lossless);
    return out;
}

enum class Expect { Only, AllBut };

struct Case {
    const char* text;
    std::vector<const char*> clauses; // "@" is the full-text clause, LOSSLESS the lossless condition
    std::vector<const char*> values; // as typed() writes them
    std::vector<const char*> titles; // the items found, or with AllBut the only items not found
    Expect expect = Expect::Only;
};

const std::vector<const char*> movies
    = { "The Long Road", "Paper Moon Rising", "Glass City", "Night Shift", "Vanished" };
const std::vector<const char*> episodes
    = { "The Trench", "Bioluminescence", "Whale Fall", "Vents", "The Abyss Returns", "Bread", "Soup", "Noodles" };
const std::vector<const char*> harbour = { "Low Tide", "Salt Wind", "Café Noir", "Lighthouse", "Lost Chord" };
const std::vector<const char*> losslessTitles = { "Aurora", "Polar Night", "Ice Road", "Thaw", "Meltwater",
    "River Song", "Porch Light", "Blue Hour", "Tangerine", "Late Set" };

std::vector<const char*> operator+(std::vector<const char*> a, const std::vector<const char*>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// clang-format off
const Case cases[] = {
    // No terms: no clause.
    {"", {}, {}, {}, Expect::AllBut},
    {" \t  ", {}, {}, {}, Expect::AllBut},
    // Words are prefixes, phrases exact.
    {"aurora", {"((@))"}, {"t:\"aurora\"*"}, {"Aurora"}},
    {"tid", {"((@))"}, {"t:\"tid\"*"}, {"Low Tide", "Tide Pool", "Evening Tide"}},
    {"\"night shift\"", {"((@))"}, {"t:\"night shift\""}, {"Night Shift"}},
    {"\"night shi\"", {"((@))"}, {"t:\"night shi\""}, {}},
    // Minus and NOT negate, together only once.
    {"-aurora", {"(((@) IS NOT 1))"}, {"t:\"aurora\"*"}, {"Aurora"}, Expect::AllBut},
    {"NOT aurora", {"(((@) IS NOT 1))"}, {"t:\"aurora\"*"}, {"Aurora"}, Expect::AllBut},
    {"NOT -aurora", {"(((@) IS NOT 1))"}, {"t:\"aurora\"*"}, {"Aurora"}, Expect::AllBut},
    {"lanterns -\"polar night\"", {"((@) AND ((@) IS NOT 1))"}, {"t:\"lanterns\"*", "t:\"polar night\""},
        {"Aurora", "Ice Road", "Thaw", "Meltwater", "Evening Tide"}},
    // Only upper-case keywords are keywords.
    {"glacier or birch", {"((@) AND (@) AND (@))"}, {"t:\"glacier\"*", "t:\"or\"*", "t:\"birch\"*"}, {}},
    {"glacier OR birch", {"((@) OR (@))"}, {"t:\"glacier\"*", "t:\"birch\"*"}, {"Glacier", "Birch"}},
    {"glacier not", {"((@) AND (@))"}, {"t:\"glacier\"*", "t:\"not\"*"}, {}},
    // AND binds before OR.
    {"aurora OR night bus", {"((@) OR (@) AND (@))"}, {"t:\"aurora\"*", "t:\"night\"*", "t:\"bus\"*"},
        {"Aurora", "Night Bus"}},
    {"night bus OR aurora", {"((@) AND (@) OR (@))"}, {"t:\"night\"*", "t:\"bus\"*", "t:\"aurora\"*"},
        {"Aurora", "Night Bus"}},
    {"aurora OR NOT glacier", {"((@) OR ((@) IS NOT 1))"}, {"t:\"aurora\"*", "t:\"glacier\"*"}, {"Glacier"},
        Expect::AllBut},
    // A leading OR and a trailing OR or NOT are dropped.
    {"OR aurora", {"((@))"}, {"t:\"aurora\"*"}, {"Aurora"}},
    {"aurora OR", {"((@))"}, {"t:\"aurora\"*"}, {"Aurora"}},
    {"aurora NOT", {"((@))"}, {"t:\"aurora\"*"}, {"Aurora"}},
    // Numbers, comparisons and ranges, scaled into the column's unit.
    {"rating:>=4", {"((rating >= ?))"}, {"d:80"}, {"Aurora", "Café Noir", "The Trench", "The Long Road"}},
    {"rating:4", {"((rating = ?))"}, {"d:80"}, {"Café Noir", "The Trench"}},
    {"stars:[4 TO 5]", {"((rating BETWEEN ? AND ?))"}, {"d:80", "d:100"},
        {"Aurora", "Café Noir", "The Trench", "The Long Road"}},
    {"duration:>5", {"((duration_us > ?))"}, {"d:300000000"},
        {"Aurora", "Ice Road", "Thaw", "Low Tide", "Salt Wind", "Café Noir", "Lost Chord", "Kite Runner", "Sunburn",
         "Night Bus", "River Song", "Porch Light", "Birch", "demo take", "Evening Tide", "Kora & Vessel",
         "Alpha/Beta - Gamma"}, Expect::AllBut},
    {"minutes:<=2", {"((duration_us <= ?))"}, {"d:120000000"}, {"demo take"}},
    {"bitrate:320", {"((bitrate = ?))"}, {"d:320000"}, harbour},
    {"plays:>5", {"((play_count > ?))"}, {"d:5"}, {"Aurora", "Café Noir"}},
    {"year:[1980 to 1990]", {"((year BETWEEN ? AND ?))"}, {"d:1980", "d:1990"}, {}},
    {"year:[1999 TO 2005]", {"((year BETWEEN ? AND ?))"}, {"d:1999", "d:2005"}, {"Glass City", "Vanished"}},
    {"year:[2005 to 1999]", {"((year BETWEEN ? AND ?))"}, {"d:2005", "d:1999"}, {}},
    {"Year:2019", {"((year = ?))"}, {"d:2019"}, {"Aurora", "Polar Night", "Ice Road", "Thaw", "Meltwater"}},
    {"year:\"1972\"", {"((year = ?))"}, {"d:1972"}, {"River Song", "Porch Light"}},
    {"year:1.2.3", {"((year = ?))"}, {"d:0"}, {}},
    // Fixed conditions.
    {"played:never", {"((play_count = 0))"}, {},
        {"Aurora", "Polar Night", "Café Noir", "Kite Runner", "The Long Road", "The Trench"}, Expect::AllBut},
    {"kind:tv", {"((category = 'episode'))"}, {}, episodes},
    {"kind:Movie", {"((category = 'movie'))"}, {}, movies},
    {"type:music", {"((kind = 'audio'))"}, {}, episodes + movies + std::vector<const char*>{"birthday 2024"},
        Expect::AllBut},
    {"format:mp3", {"(((primary_codec = ? OR audio_codec = ? OR format LIKE ?)))"}, {"t:mp3", "t:mp3", "t:%mp3%"},
        harbour + std::vector<const char*>{"demo take", "Evening Tide", "Interview with Mira", "Kora & Vessel",
                                            "Alpha/Beta - Gamma"}},
    {"format:lossless", {"((LOSSLESS))"}, {}, losslessTitles},
    {"codec:LOSSY", {"((NOT LOSSLESS))"}, {}, losslessTitles, Expect::AllBut},
    // A negated condition keeps the items whose column is empty.
    {"-kind:movie", {"(((category = 'movie') IS NOT 1))"}, {}, movies, Expect::AllBut},
    {"-year:1985", {"(((year = ?) IS NOT 1))"}, {"d:1985"}, {}, Expect::AllBut},
    {"-format:lossless", {"(((LOSSLESS) IS NOT 1))"}, {}, losslessTitles, Expect::AllBut},
    // Full-text fields restrict one column of the index.
    {"show:deep", {"((@))"}, {"t:{artist} : \"deep\"*"},
        {"The Trench", "Bioluminescence", "Whale Fall", "Vents", "The Abyss Returns"}},
    {"show:\"Kitchen Diaries\"", {"((@))"}, {"t:{artist} : \"Kitchen Diaries\""}, {"Bread", "Soup", "Noodles"}},
    {"artist:mira", {"((@))"}, {"t:{artist} : \"mira\"*"},
        harbour + std::vector<const char*>{"Sunburn", "Interview with Mira"}},
    {"genre:jazz -album:harbour", {"((@) AND ((@) IS NOT 1))"}, {"t:{genre} : \"jazz\"*", "t:{album} : \"harbour\"*"},
        {"Blue Hour", "Tangerine", "Late Set"}},
    {"tag:\"road trip\"", {"((@))"}, {"t:{tags} : \"road trip\""}, {"Aurora", "The Long Road"}},
    {"comment:radio", {"((@))"}, {"t:{comment} : \"radio\"*"}, {"Interview with Mira"}},
    {"file:fjord", {"((@))"}, {"t:{path} : \"fjord\"*"}, {"Still Water", "Glacier", "Birch", "Tide Pool"}},
    // Unknown fields and unaccepted values are searched as the text field:value.
    {"foo:bar", {"((@))"}, {"t:\"foo:bar\"*"}, {}},
    {"Deep:Sea", {"((@))"}, {"t:\"Deep:Sea\"*"},
        {"The Trench", "Bioluminescence", "Whale Fall", "Vents", "The Abyss Returns"}},
    {"Deep:\"Sea\"", {"((@))"}, {"t:\"Deep:\"\"Sea\"\"\"*"},
        {"The Trench", "Bioluminescence", "Whale Fall", "Vents", "The Abyss Returns"}},
    {"Chapter:2", {"((@))"}, {"t:\"Chapter:2\"*"}, {}},
    {"year:abc", {"((@))"}, {"t:\"year:abc\"*"}, {}},
    {"played:soon", {"((@))"}, {"t:\"played:soon\"*"}, {}},
    {"kind:book", {"((@))"}, {"t:\"kind:book\"*"}, {}},
    // Unbalanced quotes: word by word, quotes removed, one clause per word.
    {"night \"bus", {"@", "@"}, {"t:\"night\"*", "t:\"bus\"*"}, {"Night Bus"}},
    {"\"Café", {"@"}, {"t:\"Café\"*"}, {"Café Noir"}},
    {"kora & \"vessel", {"@", "@"}, {"t:\"kora\"*", "t:\"vessel\"*"}, {"Kora & Vessel"}},
    // Keywords and empty phrases only: searched word by word.
    {"AND", {"@"}, {"t:\"AND\"*"}, {"Kora & Vessel"}},
    {"\"\" OR \"\"", {"@"}, {"t:\"OR\"*"}, {"Blue Hour", "Tangerine", "Late Set"}},
    {"\"\"", {}, {}, {}, Expect::AllBut},
    // Terms without a letter or digit add nothing; a text of only such terms gives no clause.
    {"&", {}, {}, {}, Expect::AllBut},
    {"- + /", {}, {}, {}, Expect::AllBut},
    {"kora & vessel", {"((@) AND (@))"}, {"t:\"kora\"*", "t:\"vessel\"*"}, {"Kora & Vessel"}},
    {"kora \"&\" vessel", {"((@) AND (@))"}, {"t:\"kora\"*", "t:\"vessel\"*"}, {"Kora & Vessel"}},
    {"Alpha/Beta - Gamma", {"((@) AND (@))"}, {"t:\"Alpha/Beta\"*", "t:\"Gamma\"*"}, {"Alpha/Beta - Gamma"}},
    {"title:\"\"", {}, {}, {}, Expect::AllBut},
    {"title:&", {}, {}, {}, Expect::AllBut},
    {"aurora title:\"\"", {"((@))"}, {"t:\"aurora\"*"}, {"Aurora"}},
    // The index folds diacritics.
    {"cafe", {"((@))"}, {"t:\"cafe\"*"}, {"Café Noir"}},
    {"CAFÉ noir", {"((@) AND (@))"}, {"t:\"CAFÉ\"*", "t:\"noir\"*"}, {"Café Noir"}},
};
// clang-format on

TEST_F(LibrarySearch, EveryRowGivesItsClausesValuesAndItemsWithoutAnSqlError)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "search text: " << c.text);
        const Library::ClauseList where = Library::parseSearch(QString::fromUtf8(c.text));
        EXPECT_EQ(where.clauses, expand(c.clauses));
        QStringList values;
        for (const char* v : c.values)
            values << QString::fromUtf8(v);
        EXPECT_EQ(typed(where.values), values);
        EXPECT_EQ(where.clauses.join(QString()).count(QLatin1Char('?')), where.values.size());

        bool ok = false;
        const std::set<qint64> found = runSearch(db, where, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(found, c.expect == Expect::Only ? ids(c.titles) : allBut(c.titles));
    }
}

TEST_F(LibrarySearch, PlayedWindowsStartAtMidnightOrRollBackFromNow)
{
    struct Window {
        const char* text;
        qint64 back; // seconds before now; -1 for local midnight
        std::vector<const char*> titles;
    };
    const Window windows[] = {
        { "played:today", -1, {} },
        { "played:thisweek", 604800, { "Aurora", "Café Noir", "Kite Runner", "The Trench" } },
        { "played:ThisMonth", 2592000, { "Aurora", "Polar Night", "Café Noir", "Kite Runner", "The Trench" } },
        { "played:thisyear", 31536000,
            { "Aurora", "Polar Night", "Café Noir", "Kite Runner", "The Trench", "The Long Road" } },
    };
    for (const Window& w : windows) {
        SCOPED_TRACE(w.text);
        const qint64 before = w.back < 0 ? QDate::currentDate().startOfDay().toSecsSinceEpoch()
                                         : QDateTime::currentSecsSinceEpoch() - w.back;
        const Library::ClauseList where = Library::parseSearch(QString::fromUtf8(w.text));
        const qint64 after = w.back < 0 ? QDate::currentDate().startOfDay().toSecsSinceEpoch()
                                        : QDateTime::currentSecsSinceEpoch() - w.back;
        EXPECT_EQ(where.clauses, QStringList { QStringLiteral("((last_played >= ?))") });
        ASSERT_EQ(where.values.size(), 1);
        ASSERT_EQ(where.values[0].typeId(), QMetaType::LongLong);
        EXPECT_GE(where.values[0].toLongLong(), before);
        EXPECT_LE(where.values[0].toLongLong(), after);
        if (w.back < 0)
            continue; // which plays fall after midnight depends on the hour the test runs
        bool ok = false;
        EXPECT_EQ(runSearch(db, where, &ok), ids(w.titles));
        EXPECT_TRUE(ok);

        // Negated, the window keeps the items never played (their last_played is NULL).
        const Library::ClauseList negated = Library::parseSearch(QStringLiteral("-") + QString::fromUtf8(w.text));
        EXPECT_EQ(runSearch(db, negated), allBut(w.titles));
    }
}

// Counts of every table and the changes this connection has made: equal before and after means no write.
QStringList fingerprint(Database& db)
{
    QStringList out;
    QStringList tables;
    Statement names = db.prepare("SELECT name FROM sqlite_master WHERE type IN ('table', 'view') ORDER BY name");
    while (names.next())
        tables << names.columnText(0);
    for (const QString& table : tables) {
        Statement count = db.prepare(QStringLiteral("SELECT COUNT(*) FROM \"%1\"").arg(table));
        out << table + QLatin1Char('=') + QString::number(count.next() ? count.columnInt64(0) : -1);
    }
    out << QStringLiteral("changes=") + QString::number(sqlite3_total_changes64(db.handle()));
    return out;
}

TEST_F(LibrarySearch, HostileTextNeverReachesTheSqlAndChangesNothing)
{
    const QString marker = QStringLiteral("Zqxm");
    QStringList texts = {
        "\"Zqxm",
        "'; DROP TABLE sources; -- Zqxm",
        "Zqxm'); DELETE FROM sources; --",
        "{title}: Zqxm",
        "{title} : Zqxm OR {path}:x",
        "title:{Zqxm}",
        "NEAR(Zqxm a)",
        "NEAR(\"Zqxm\" \"b\", 2)",
        "^Zqxm",
        "Zqxm*",
        "* Zqxm",
        "Zqxm\" OR \"1\"=\"1",
        "title:\"Zqxm\"\"\"",
        "year:>=Zqxm",
        "year:[Zqxm TO 2]",
        "rating:<Zqxm')",
        "year:<=1) OR 1=1 OR (Zqxm",
        "format:Zqxm'); DROP TABLE search; --",
        "codec:%Zqxm_\\",
        "played:Zqxm",
        "kind:Zqxm",
        "Zqxm:title",
        "-{Zqxm}",
        "Zqxm AND OR NOT",
        "(Zqxm OR 1=1)",
        "%1 %2 Zqxm %3",
        "Zqxm -- /* */ ;",
        "ゼロ Zqxm 🎵",
        QStringLiteral("Zqxm") + QChar(0) + QStringLiteral("x"),
        QStringLiteral("Zqxm\u00A0vessel\u200D"),
    };
    QString repeated;
    while (repeated.size() < 100 * 1024)
        repeated += QStringLiteral("Zqxm \"a b\" OR -x:y NOT year:>1 ");
    texts << repeated;
    texts << marker + QString(100 * 1024, QLatin1Char('a'));
    QString manyTerms = marker;
    for (int i = 0; i < 1200; ++i)
        manyTerms += QStringLiteral(" w%1").arg(i);
    texts << manyTerms;
    // Not marked: nothing of them can be told apart from the fixed text.
    const QStringList unmarked = { "*", "\"", "'", ";", "?", "-", ":" };

    const QStringList before = fingerprint(db);
    QuietWarnings quiet;
    for (const QString& text : texts + unmarked) {
        SCOPED_TRACE(text.left(60).toStdString());
        const Library::ClauseList where = Library::parseSearch(text);
        for (const QString& clause : where.clauses) {
            EXPECT_FALSE(clause.contains(marker, Qt::CaseInsensitive)) << clause.left(200).toStdString();
            EXPECT_FALSE(clause.contains(QLatin1Char(';')) || clause.contains(QLatin1Char('{'))
                || clause.contains(QLatin1String("--")));
        }
        EXPECT_EQ(where.clauses.join(QString()).count(QLatin1Char('?')), where.values.size());
        bool ok = false;
        runSearch(db, where, &ok);
    }
    EXPECT_EQ(fingerprint(db), before);

    // A text of more terms than SQLite takes in one expression is read only up to its cut: the query runs (and
    // finds nothing, as nothing holds the marker).
    bool ok = false;
    EXPECT_TRUE(runSearch(db, Library::parseSearch(manyTerms), &ok).empty());
    EXPECT_TRUE(ok);
}

// Control characters count as spaces: a NUL inside a word would otherwise end the full-text query there and fail
// it, and the search would show nothing.
TEST_F(LibrarySearch, ControlCharactersSeparateWordsLikeSpaces)
{
    const QChar nul(0);
    const struct {
        QString text;
        QString spaced;
    } rows[] = {
        { "night" + QString(nul) + "bus", "night bus" },
        { "\"night" + QString(nul) + "bus\"", "\"night bus\"" },
        { "title:night" + QString(nul) + "bus", "title:night bus" },
        { "-kora" + QString(nul) + "x", "-kora x" },
        { "night\tbus", "night bus" },
        { "\"night\tbus\"", "\"night bus\"" },
        { QStringLiteral("night\u0001\u001f\u007f\u0085bus"), "night bus" },
        { "\"", " " },
        { "night \"\t", "night " },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.spaced.toStdString());
        bool ok = false;
        const std::set<qint64> found = runSearch(db, Library::parseSearch(row.text), &ok);
        EXPECT_TRUE(ok);
        bool spacedOk = false;
        EXPECT_EQ(found, runSearch(db, Library::parseSearch(row.spaced), &spacedOk));
        EXPECT_TRUE(spacedOk);
    }
    EXPECT_EQ(runSearch(db, Library::parseSearch("night" + QString(nul) + "bus")), ids({ "Night Bus" }));
}

// The Qt warnings of its lifetime, kept and kept out of the test output.
class WarningLines {
public:
    WarningLines() { previous = qInstallMessageHandler(&WarningLines::handle); }
    ~WarningLines() { qInstallMessageHandler(previous); }

    static inline QStringList lines;

private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (type == QtWarningMsg)
            lines << text;
    }

    static inline QtMessageHandler previous = nullptr;
};

// A query's step that fails says so in the log, with SQLite's reason and the statement cut to 200 bytes.
TEST_F(LibrarySearch, FailedStepsAreLogged)
{
    const QString padding = QStringLiteral(" AND 1").repeated(60);
    const QString sql = QStringLiteral("SELECT rowid FROM search WHERE search MATCH ?1") + padding;
    WarningLines warnings;
    WarningLines::lines.clear();
    Statement st = db.prepare(sql);
    ASSERT_TRUE(st.isValid());
    // A NUL inside an FTS5 string ends it there: the query cannot be read.
    st.bindText(1, QStringLiteral("\"night") + QChar(0) + QStringLiteral("bus\""));
    EXPECT_FALSE(st.next());
    ASSERT_EQ(WarningLines::lines.size(), 1) << WarningLines::lines.join('|').toStdString();
    const QString line = WarningLines::lines.first();
    EXPECT_TRUE(line.startsWith("library: step failed: ")) << line.toStdString();
    EXPECT_TRUE(line.contains("unterminated string")) << line.toStdString();
    EXPECT_TRUE(line.endsWith(" in " + sql.toUtf8().left(200))) << line.toStdString();
    SqliteErrors::take();

    // Rows and the end are no failure.
    WarningLines::lines.clear();
    Statement fine = db.prepare("SELECT id FROM items LIMIT 1");
    EXPECT_TRUE(fine.next());
    EXPECT_FALSE(fine.next());
    EXPECT_TRUE(WarningLines::lines.isEmpty()) << WarningLines::lines.join('|').toStdString();
}

} // namespace
