#include "platform/PathKey.h"
#include "ui/library/Library.h"
#include "ui/library/Statement.h"

#include <QDateTime>
#include <QFileInfo>
#include <QMap>

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

namespace kvr::ui::library {

namespace {

const QString defaultOrder
    = QStringLiteral("artist COLLATE NOCASE, album COLLATE NOCASE, disc_number, track_number, title COLLATE NOCASE");

// The item views: their own clause (empty for none) and their order.
struct ItemView {
    const char* name;
    const char* clause;
    const char* order;
};

const ItemView itemViews[] = {
    { "tracks", "kind = 'audio'", nullptr },
    { "videos", "kind = 'video'", "title COLLATE NOCASE" },
    { "movies", "category = 'movie'", "title COLLATE NOCASE" },
    { "episodes", "category = 'episode'", "show COLLATE NOCASE, season, episode, title" },
    { "recent", "date_added >= strftime('%s','now') - 30*86400", "date_added DESC, id DESC" },
    { "played", "last_played IS NOT NULL", "last_played DESC" },
    { "most", "play_count > 0", "play_count DESC, last_played DESC" },
    { "top", "rating > 0", "rating DESC, play_count DESC" },
    { "search", nullptr, "kind, title COLLATE NOCASE" },
    { "missing", nullptr, "kind, title COLLATE NOCASE" },
};

const ItemView* findItemView(const QString& view)
{
    for (const ItemView& v : itemViews)
        if (view == QLatin1String(v.name))
            return &v;
    return nullptr;
}

QString whereText(const Library::ClauseList& where)
{
    return where.clauses.join(QStringLiteral(" AND "));
}

// Binds the clause values to 1..n and returns n + 1, the next free placeholder.
int bindAll(Statement& st, const QVariantList& values)
{
    int index = 1;
    for (const QVariant& value : values)
        st.bindValue(index++, value);
    return index;
}

// The page of a list built whole in memory (folders, playlists).
QVariantList slice(const QVariantList& rows, int offset, int limit, int* total)
{
    if (total)
        *total = int(rows.size());
    if (offset < 0)
        offset = 0;
    if (offset >= rows.size() || limit <= 0)
        return {};
    return rows.mid(offset, limit);
}

// A group's values are packed into one buffer as they are read (a type byte, then 8 bytes of number or a
// length and UTF-16 text): one QVariant and QString per value of thousands of groups cost more than the
// grouping itself, and a page unpacks only its own.
enum CellType : char { NullCell, IntegerCell, FloatCell, TextCell };

void packCell(QByteArray& buffer, const Statement& row, int index)
{
    const QVariant value = row.columnValue(index);
    const auto number = [&buffer](CellType type, const void* bytes) {
        buffer.append(char(type));
        buffer.append(static_cast<const char*>(bytes), 8);
    };
    switch (value.typeId()) {
    case QMetaType::UnknownType:
        buffer.append(char(NullCell));
        break;
    case QMetaType::LongLong: {
        const qint64 n = value.toLongLong();
        number(IntegerCell, &n);
        break;
    }
    case QMetaType::Double: {
        const double d = value.toDouble();
        number(FloatCell, &d);
        break;
    }
    default: {
        const QString text = value.toString();
        const qint32 size = qint32(text.size());
        buffer.append(char(TextCell));
        buffer.append(reinterpret_cast<const char*>(&size), sizeof size);
        buffer.append(reinterpret_cast<const char*>(text.constData()), qsizetype(size) * 2);
        break;
    }
    }
}

// The count values packed at start, as columnValue gave them.
QVariantList unpackCells(const QByteArray& buffer, qsizetype start, qsizetype count)
{
    QVariantList values;
    values.reserve(count);
    const char* at = buffer.constData() + start;
    for (qsizetype i = 0; i < count; ++i) {
        const char type = *at++;
        if (type == IntegerCell || type == FloatCell) {
            qint64 n = 0;
            double d = 0;
            std::memcpy(type == IntegerCell ? static_cast<void*>(&n) : static_cast<void*>(&d), at, 8);
            values.push_back(type == IntegerCell ? QVariant(qlonglong(n)) : QVariant(d));
            at += 8;
        } else if (type == TextCell) {
            qint32 size = 0;
            std::memcpy(&size, at, sizeof size);
            at += sizeof size;
            QString text(size, Qt::Uninitialized);
            std::memcpy(text.data(), at, size_t(size) * 2);
            values.push_back(QVariant(text));
            at += qsizetype(size) * 2;
        } else {
            values.push_back(QVariant());
        }
    }
    return values;
}

// How many lists are kept: the view on screen, the one before it, and a few the view asks ids of.
constexpr size_t cachedLists = 4;

} // namespace

const QString Library::itemColumns = QStringLiteral(
    "id, uri, kind, available, duration_us, title, artist, album_artist, album, year, genre, composer, "
    "track_number, disc_number, show, season, episode, category, rating, play_count, last_played, date_added, "
    "cover_key, width, height, audio_codec, primary_codec, bitrate, low_confidence");

const QHash<QString, Library::GroupView>& Library::groupViews()
{
    static const QHash<QString, GroupView> views {
        { QStringLiteral("artists"),
            { QStringLiteral("artist"), QString(), QStringLiteral("kind='audio' AND artist IS NOT NULL"),
                QStringLiteral("name COLLATE NOCASE") } },
        { QStringLiteral("albums"),
            { QStringLiteral("album"), QStringLiteral(", album_artist AS sub, MAX(year) AS year"),
                // Names that differ only in case, and one name under several album artists, keep one order.
                QStringLiteral("kind='audio' AND album IS NOT NULL"),
                QStringLiteral("name COLLATE NOCASE, name, sub") } },
        { QStringLiteral("genres"),
            { QStringLiteral("genre"), QString(), QStringLiteral("genre IS NOT NULL"),
                QStringLiteral("name COLLATE NOCASE") } },
        { QStringLiteral("years"),
            { QStringLiteral("year"), QString(), QStringLiteral("year IS NOT NULL AND kind='audio'"),
                QStringLiteral("name DESC") } },
        { QStringLiteral("composers"),
            { QStringLiteral("composer"), QString(), QStringLiteral("composer IS NOT NULL AND composer <> ''"),
                QStringLiteral("name COLLATE NOCASE") } },
        { QStringLiteral("shows"),
            { QStringLiteral("show"), QStringLiteral(", MAX(year) AS year"),
                QStringLiteral("category='episode' AND show IS NOT NULL"), QStringLiteral("name COLLATE NOCASE") } },
        { QStringLiteral("seasons"),
            { QStringLiteral("season"), QString(), QStringLiteral("category='episode'"), QStringLiteral("name") } },
    };
    return views;
}

const QHash<QString, QString>& Library::sortOrders()
{
    static const QHash<QString, QString> orders {
        { QStringLiteral("title"), QStringLiteral("title COLLATE NOCASE") },
        { QStringLiteral("artist"), QStringLiteral("artist COLLATE NOCASE, album, track_number") },
        { QStringLiteral("album"), QStringLiteral("album COLLATE NOCASE, disc_number, track_number") },
        { QStringLiteral("year"), QStringLiteral("year") },
        { QStringLiteral("duration"), QStringLiteral("duration_us") },
        { QStringLiteral("rating"), QStringLiteral("rating") },
        { QStringLiteral("plays"), QStringLiteral("play_count") },
        { QStringLiteral("added"), QStringLiteral("date_added") },
        { QStringLiteral("played"), QStringLiteral("last_played") },
    };
    return orders;
}

void Library::equalsClause(ClauseList& where, const QVariantMap& key, const QString& name, const QString& column)
{
    const auto it = key.constFind(name);
    if (it == key.constEnd())
        return;
    where.clauses << QStringLiteral("%1 IS ? COLLATE NOCASE").arg(column);
    where.values << it.value();
}

void Library::applyFilters(ClauseList& where, const QVariantMap& filters)
{
    if (filters.isEmpty())
        return;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const auto add = [&where](const char* clause, const QVariantList& values = {}) {
        where.clauses << QString::fromLatin1(clause);
        where.values << values;
    };
    const auto number = [&filters](const char* name) { return filters.value(QString::fromLatin1(name)).toInt(); };

    const QVariant genre = filters.value(QStringLiteral("genre"));
    if (!genre.toString().isEmpty())
        add("genre = ? COLLATE NOCASE", { genre });
    if (const int from = number("yearFrom"); from > 0)
        add("year >= ?", { from });
    if (const int to = number("yearTo"); to > 0)
        add("year <= ?", { to });
    if (const int stars = number("minRating"); stars > 0)
        add("rating >= ?", { stars * 20 });
    const QString format = filters.value(QStringLiteral("format")).toString();
    if (format == QLatin1String("lossless"))
        add("(audio_codec IN ('flac','alac','wavpack','ape','tta') OR audio_codec LIKE 'pcm%')");
    else if (format == QLatin1String("lossy"))
        add("kind = 'audio' AND NOT (audio_codec IN ('flac','alac','wavpack','ape','tta') OR audio_codec LIKE 'pcm%')");
    else if (format == QLatin1String("video"))
        add("kind = 'video'");
    else if (format == QLatin1String("audio"))
        add("kind = 'audio'");
    if (const int min = number("bitrateMin"); min > 0)
        add("bitrate >= ?", { qint64(min) * 1000 });
    if (const int max = number("bitrateMax"); max > 0)
        add("bitrate <= ?", { qint64(max) * 1000 });
    const QVariant folderId = filters.value(QStringLiteral("folderId"));
    if (folderId.toLongLong() > 0)
        add("folder_id = ?", { folderId });
    if (const int days = number("addedDays"); days > 0)
        add("date_added >= ?", { now - qint64(days) * 86400 });
    if (const int days = number("playedDays"); days > 0)
        add("last_played >= ?", { now - qint64(days) * 86400 });
    if (filters.value(QStringLiteral("unplayed")).toBool())
        add("play_count = 0");
}

QVariantMap Library::rowToMap(const Statement& row)
{
    QVariantMap map;
    const int columns = row.columnCount();
    for (int i = 0; i < columns; ++i)
        map.insert(row.columnName(i), row.columnValue(i));
    map.insert(QStringLiteral("type"), QStringLiteral("item"));
    return map;
}

QVariantList Library::queryPage(const QVariantMap& params, int offset, int limit, int* total)
{
    if (!db.isOpen())
        return {};

    const QString view = params.contains(QStringLiteral("view")) ? params.value(QStringLiteral("view")).toString()
                                                                 : QStringLiteral("tracks");
    const QVariantMap key = params.value(QStringLiteral("key")).toMap();

    ClauseList where = parseSearch(params.value(QStringLiteral("search")).toString());
    applyFilters(where, params.value(QStringLiteral("filters")).toMap());
    where.clauses << (view == QLatin1String("missing") ? QStringLiteral("available = 0")
                                                       : QStringLiteral("available = 1"));
    for (const char* name : { "artist", "album", "album_artist", "genre", "composer", "show" })
        equalsClause(where, key, QString::fromLatin1(name), QString::fromLatin1(name));
    for (const char* name : { "year", "season" }) {
        const auto it = key.constFind(QString::fromLatin1(name));
        if (it == key.constEnd())
            continue;
        where.clauses << QStringLiteral("%1 IS ?").arg(QLatin1String(name));
        where.values << it.value();
    }

    if (const auto group = groupViews().constFind(view); group != groupViews().constEnd())
        return groupPage(view, *group, key, where, offset, limit, total);
    if (view == QLatin1String("folders"))
        return slice(folderRows(key.value(QStringLiteral("folder")).toString(), where), offset, limit, total);
    if (view == QLatin1String("playlist"))
        return slice(playlistRows(key.value(QStringLiteral("playlist")).toLongLong()), offset, limit, total);

    QString order = defaultOrder;
    if (const ItemView* item = findItemView(view)) {
        if (item->clause)
            where.clauses << QString::fromLatin1(item->clause);
        if (item->order)
            order = QString::fromLatin1(item->order);
    }
    if (key.contains(QStringLiteral("album")))
        order = QStringLiteral("disc_number, track_number, title COLLATE NOCASE");
    // Only texts of the fixed table reach the SQL; any other "sort" keeps the view's order.
    if (const auto sort = sortOrders().constFind(params.value(QStringLiteral("sort")).toString());
        sort != sortOrders().constEnd()) {
        order = *sort;
        if (params.value(QStringLiteral("desc")).toBool())
            order += QStringLiteral(" DESC");
    }

    // The view's order is worked out once for the whole list, over the ids alone, and every page is cut from
    // it: a page of its own would sort the whole view again for each 200 rows, and count it besides.
    // Ties fall in the order the library first saw the files, whichever way SQLite reads the list.
    const ListCache& list = cachedList(
        QStringLiteral("SELECT id FROM %1 WHERE %2 ORDER BY %3, id").arg(itemSource(), whereText(where), order),
        where.values, total != nullptr, [](Statement& select, ListCache& entry) {
            while (select.next())
                entry.ids.push_back(select.columnInt64(0));
        });
    if (total)
        *total = int(list.ids.size());
    return itemRows(list.ids, offset, limit);
}

QString Library::itemSource() const
{
    return db.hasSortKeys() ? Database::keyedItems() : QStringLiteral("items");
}

const Library::ListCache& Library::cachedList(
    const QString& sql, const QVariantList& values, bool fresh, const std::function<void(Statement&, ListCache&)>& read)
{
    // Another connection's commit (the scanner's) moves data_version; this connection's own writes move its
    // change count.
    qint64 dataVersion = 0;
    {
        Statement version = db.prepare("PRAGMA data_version");
        if (version.next())
            dataVersion = version.columnInt64(0);
    }
    const qint64 changes = sqlite3_total_changes(db.handle());
    const auto found = std::find_if(
        lists.begin(), lists.end(), [&](const ListCache& entry) { return entry.sql == sql && entry.values == values; });
    if (found != lists.end()) {
        // Later pages keep to the list their total was counted from until the revision moves, so that rows a
        // scan adds meanwhile neither repeat nor skip rows across pages.
        const bool current = found->revision == revision_
            && (!fresh || (found->dataVersion == dataVersion && found->changes == changes));
        if (current) {
            std::rotate(lists.begin(), found, found + 1);
            return lists.front();
        }
        lists.erase(found);
    }
    ListCache entry;
    entry.sql = sql;
    entry.values = values;
    entry.revision = revision_;
    entry.dataVersion = dataVersion;
    entry.changes = changes;
    Statement select = db.prepare(sql);
    bindAll(select, values);
    read(select, entry);
    lists.insert(lists.begin(), std::move(entry));
    if (lists.size() > cachedLists)
        lists.pop_back();
    return lists.front();
}

QVariantList Library::itemRows(const std::vector<qint64>& ids, int offset, int limit)
{
    QVariantList rows;
    const size_t first = size_t(std::max(offset, 0));
    // A negative limit is no limit, as in SQL.
    const size_t end = limit < 0 ? ids.size() : std::min(ids.size(), first + size_t(limit));
    if (first >= end)
        return rows;
    if (!rowById.isValid())
        rowById = db.prepare(QStringLiteral("SELECT %1 FROM items WHERE id = ?1").arg(itemColumns));
    rows.reserve(qsizetype(end - first));
    for (size_t i = first; i < end; ++i) {
        rowById.reset();
        rowById.bindInt64(1, ids[i]);
        if (rowById.next())
            rows.push_back(rowToMap(rowById));
    }
    rowById.reset();
    return rows;
}

QVariantList Library::groupPage(const QString& view, const GroupView& group, const QVariantMap& key, ClauseList& where,
    int offset, int limit, int* total)
{
    where.clauses << group.clause;
    const QString condition = whereText(where);
    const QString groupBy = view == QLatin1String("albums") ? QStringLiteral("album, album_artist") : group.column;
    // The groups are read whole once (a few thousand rows at most) and pages sliced from them: a count and a
    // page of their own would each group the whole view again.
    const QString sql = QStringLiteral("SELECT %1 AS name, COUNT(*) AS count, MAX(cover_key) AS cover_key, "
                                       "SUM(duration_us) AS duration_us%2 FROM %6 WHERE %3 GROUP BY %4 ORDER BY %5")
                            .arg(group.column, group.extra, condition, groupBy, group.order, itemSource());
    const ListCache& list = cachedList(sql, where.values, total != nullptr, [](Statement& page, ListCache& entry) {
        const int columns = page.columnCount();
        for (int i = 0; i < columns; ++i)
            entry.columns << page.columnName(i);
        while (page.next()) {
            entry.groupStarts.push_back(entry.groupCells.size());
            for (int i = 0; i < columns; ++i)
                packCell(entry.groupCells, page, i);
        }
    });
    const size_t groups = list.groupStarts.size();
    if (total)
        *total = int(groups);
    QVariantList rows;
    const size_t first = size_t(std::max(offset, 0));
    if (first >= groups || limit <= 0)
        return rows;
    const size_t end = std::min(groups, first + size_t(limit));
    const qsizetype nameColumn = list.columns.indexOf(QStringLiteral("name"));
    const qsizetype subColumn = list.columns.indexOf(QStringLiteral("sub"));
    rows.reserve(qsizetype(end - first));
    QVariantList cells;
    for (size_t g = first; g < end; ++g) {
        cells = unpackCells(list.groupCells, list.groupStarts[g], list.columns.size());
        QVariantMap row;
        for (qsizetype i = 0; i < list.columns.size(); ++i)
            row.insert(list.columns[i], cells[i]);
        QVariantMap groupKey;
        const QVariant name = nameColumn >= 0 ? cells[nameColumn] : QVariant();
        if (view == QLatin1String("albums")) {
            groupKey.insert(QStringLiteral("album"), name);
            groupKey.insert(QStringLiteral("album_artist"), subColumn >= 0 ? cells[subColumn] : QVariant());
        } else if (view == QLatin1String("seasons")) {
            // A season of a show keeps the show, so its episodes are that show's only.
            groupKey = key;
            groupKey.insert(QStringLiteral("season"), name);
        } else {
            groupKey.insert(group.column, name);
        }
        row.insert(QStringLiteral("type"), QStringLiteral("group"));
        row.insert(QStringLiteral("groupKey"), groupKey);
        rows.push_back(row);
    }
    return rows;
}

QVariantList Library::folderRows(const QString& folder, ClauseList& where)
{
    QVariantList rows;
    if (folder.isEmpty()) {
        for (const QVariant& entry : folders()) {
            QVariantMap row = entry.toMap();
            row.insert(QStringLiteral("type"), QStringLiteral("folder"));
            row.insert(QStringLiteral("name"), row.value(QStringLiteral("path")));
            row.insert(QStringLiteral("count"), row.value(QStringLiteral("items")));
            rows.push_back(row);
        }
        return rows;
    }

    // Everything below the folder is the range [prefix, prefix with its closing "/" raised to "0"): exact and
    // case-sensitive like the file system, served by the uri index, with no pattern characters to escape.
    const QString prefix = platform::pathKey(folder);
    QString end = prefix;
    end.back() = QLatin1Char('0');
    where.clauses << QStringLiteral("uri >= ? AND uri < ?");
    where.values << prefix << end;
    Statement select
        = db.prepare(QStringLiteral("SELECT %1 FROM items WHERE %2 ORDER BY uri").arg(itemColumns, whereText(where)));
    bindAll(select, where.values);

    QMap<QString, qlonglong> subfolders;
    QVariantList items;
    while (select.next()) {
        const QString rel = select.columnText(1).mid(prefix.size());
        const qsizetype slash = rel.indexOf(QLatin1Char('/'));
        if (slash <= 0)
            items.push_back(rowToMap(select));
        else
            ++subfolders[rel.left(slash)];
    }
    for (auto it = subfolders.cbegin(); it != subfolders.cend(); ++it) {
        rows.push_back(QVariantMap {
            { QStringLiteral("type"), QStringLiteral("folder") },
            { QStringLiteral("name"), it.key() },
            { QStringLiteral("path"), prefix + it.key() },
            { QStringLiteral("count"), it.value() },
        });
    }
    rows.append(items);
    return rows;
}

QVariantList Library::playlistRows(qint64 playlistId)
{
    // The entries first, then each looked up through the uri index: a join with the items view would make
    // SQLite build the whole view for every load.
    Statement entries = db.prepare("SELECT position, uri FROM playlist_items WHERE playlist_id = ?1 ORDER BY position");
    entries.bindInt64(1, playlistId);
    Statement lookup = db.prepare("SELECT id, kind, title, artist, album, duration_us, cover_key, rating, play_count, "
                                  "available FROM items WHERE uri = ?1");
    QVariantList rows;
    while (entries.next()) {
        const QString uri = entries.columnText(1);
        lookup.reset();
        lookup.bindText(1, uri);
        const bool inLibrary = lookup.next();
        QString title = inLibrary ? lookup.columnText(2) : QString();
        if (title.isEmpty())
            title = QFileInfo(localPath(uri)).completeBaseName();
        rows.push_back(QVariantMap {
            { QStringLiteral("type"), QStringLiteral("item") },
            { QStringLiteral("position"), entries.columnInt64(0) },
            { QStringLiteral("uri"), uri },
            { QStringLiteral("id"), inLibrary ? QVariant(lookup.columnInt64(0)) : QVariant() },
            { QStringLiteral("kind"), inLibrary ? lookup.columnText(1) : QString() },
            { QStringLiteral("title"), title },
            { QStringLiteral("artist"), inLibrary ? lookup.columnText(3) : QString() },
            { QStringLiteral("album"), inLibrary ? lookup.columnText(4) : QString() },
            { QStringLiteral("duration_us"), inLibrary ? lookup.columnInt64(5) : qint64(0) },
            { QStringLiteral("cover_key"), inLibrary ? lookup.columnText(6) : QString() },
            { QStringLiteral("rating"), inLibrary ? lookup.columnInt64(7) : qint64(0) },
            { QStringLiteral("play_count"), inLibrary ? lookup.columnInt64(8) : qint64(0) },
            // A library item answers for itself (a file the scanner found gone stays unavailable); only an
            // entry outside the library is looked for on disk.
            { QStringLiteral("available"), inLibrary ? lookup.columnInt64(9) != 0 : QFileInfo::exists(localPath(uri)) },
        });
    }
    return rows;
}

QVariantList Library::idsForQuery(const QVariantMap& params)
{
    QVariantList ids;
    for (const QVariant& entry : queryPage(params, 0, 100000)) {
        const QVariantMap row = entry.toMap();
        const QVariant id = row.value(QStringLiteral("id"));
        if (row.value(QStringLiteral("type")).toString() == QLatin1String("item") && id.isValid())
            ids.push_back(id);
    }
    return ids;
}

} // namespace kvr::ui::library
