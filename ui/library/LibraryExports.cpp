#include "ui/library/Library.h"
#include "ui/library/Statement.h"
#include "ui/library/Transaction.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace kvr::ui::library {

namespace {

// Writes bytes in place of path: an existing file is replaced only once everything was written. Line ends
// are "\n" as given, on every platform.
bool saveWhole(const QString& path, const QByteArray& bytes)
{
    if (path.isEmpty())
        return false;
    QSaveFile file(path);
    // Unbuffered, so that a short write shows here: Qt 6.4's commit() ignores a failed last flush and would
    // put a truncated file in place of the old one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

// A CSV text field: the column's text (empty for NULL), its double quotes doubled, between double quotes.
QByteArray quoted(const Statement& row, int column)
{
    QString text = row.columnText(column);
    text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return '"' + text.toUtf8() + '"';
}

} // namespace

bool Library::exportPlaylist(int id, const QString& fileUrl) const
{
    QString path = localPath(fileUrl);
    if (path.isEmpty())
        return false;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".m3u8");
    QByteArray out = "#EXTM3U\n";
    for (const QString& entry : playlistUris(id)) {
        out += "#EXTINF:-1," + QFileInfo(entry).completeBaseName().toUtf8() + '\n';
        out += entry.toUtf8() + '\n';
    }
    return saveWhole(path, out);
}

bool Library::exportCsv(const QString& fileUrl) const
{
    const QString path = localPath(fileUrl);
    if (path.isEmpty())
        return false;
    QByteArray out = "path,kind,title,artist,album_artist,album,year,track,genre,composer,show,season,episode,"
                     "duration_s,rating,plays,last_played\n";
    Statement select = db.prepare("SELECT uri, kind, title, artist, album_artist, album, year, track_number, genre, "
                                  "composer, show, season, episode, duration_us, rating, play_count, last_played "
                                  "FROM items ORDER BY kind, artist, album, track_number, title");
    while (select.next()) {
        for (int column = 0; column <= 12; ++column)
            out += quoted(select, column) + ',';
        out += QByteArray::number(select.columnInt64(13) / 1000000) + ',';
        out += QByteArray::number(select.columnInt64(14) / 20) + ',';
        out += quoted(select, 15) + ',';
        if (!select.isNull(16))
            out += QDateTime::fromSecsSinceEpoch(select.columnInt64(16)).toString(Qt::ISODate).toUtf8();
        out += '\n';
    }
    return saveWhole(path, out);
}

bool Library::exportJson(const QString& fileUrl) const
{
    const QString path = localPath(fileUrl);
    if (path.isEmpty())
        return false;

    QJsonArray items;
    Statement select = db.prepare(QStringLiteral("SELECT %1 FROM items ORDER BY id").arg(itemColumns));
    Statement tags = db.prepare("SELECT group_concat(tag, ',') FROM source_tags WHERE source_id = ?1");
    while (select.next()) {
        QJsonObject item;
        for (int column = 0; column < select.columnCount(); ++column)
            item.insert(select.columnName(column), QJsonValue::fromVariant(select.columnValue(column)));
        tags.reset();
        tags.bindInt64(1, select.columnInt64(0));
        if (tags.next() && !tags.isNull(0))
            item.insert(QStringLiteral("tags"), QJsonArray::fromStringList(tags.columnText(0).split(QLatin1Char(','))));
        items.append(item);
    }

    QJsonArray lists;
    for (const QVariant& entry : playlists()) {
        const QVariantMap map = entry.toMap();
        QJsonObject list = QJsonObject::fromVariantMap(map);
        list.insert(QStringLiteral("items"),
            QJsonArray::fromStringList(playlistUris(int(map.value(QStringLiteral("id")).toLongLong()))));
        lists.append(list);
    }

    const QJsonObject root {
        { QStringLiteral("schema"), 1 },
        { QStringLiteral("exported"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate) },
        { QStringLiteral("items"), items },
        { QStringLiteral("playlists"), lists },
    };
    return saveWhole(path, QJsonDocument(root).toJson(QJsonDocument::Indented));
}

void Library::recordPlay(const QString& uri, qlonglong playedUs)
{
    if (!db.isOpen() || uri.isEmpty())
        return;
    // Exact: on Linux two names that differ only in letter case are two files, and a play counts for the
    // one that was played. Files outside the library are not counted.
    Statement find = db.prepare("SELECT id FROM sources WHERE uri = ?1");
    find.bindText(1, uri);
    if (!find.next())
        return;
    const qint64 id = find.columnInt64(0);
    find.finalize();
    const qint64 now = QDateTime::currentSecsSinceEpoch();

    bool saved = false;
    {
        Transaction tx(db);
        Statement history
            = db.prepare("INSERT INTO play_history(source_id, played_at, duration_played_us) VALUES(?1, ?2, ?3)");
        history.bindInt64(1, id).bindInt64(2, now).bindInt64(3, playedUs);
        tx.run(history);
        Statement stats = db.prepare(
            "INSERT INTO play_stats(source_id, play_count, last_played, total_play_time_us) VALUES(?1, 1, ?2, ?3) "
            "ON CONFLICT(source_id) DO UPDATE SET play_count = play_count + 1, last_played = ?2, "
            "total_play_time_us = total_play_time_us + ?3");
        stats.bindInt64(1, id).bindInt64(2, now).bindInt64(3, playedUs);
        tx.run(stats);
        saved = tx.commit();
    }
    if (!saved) {
        reportSaveFailure();
        return;
    }
    // Not restarted while it runs: plays in quick succession give one contentChanged, 1500 ms after the
    // first of them.
    if (!contentTimer.isActive())
        contentTimer.start();
}

} // namespace kvr::ui::library
