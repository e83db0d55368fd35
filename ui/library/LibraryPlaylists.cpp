#include "ui/library/Library.h"
#include "ui/library/Statement.h"
#include "ui/library/Transaction.h"

#include <QDateTime>

#include <set>

namespace kvr::ui::library {

namespace {

// Deleted playlists are kept this long for an undo before the next deletion purges them.
constexpr const char* purgeSql
    = "DELETE FROM playlists WHERE deleted_at IS NOT NULL AND deleted_at < strftime('%s','now') - 30*86400";

// The entry insert, with the library source whose uri equals the entry (NULL outside the library). The
// uri index is exact: on Linux "/m/A.mp3" and "/m/a.mp3" are two files.
Statement prepareEntryInsert(Database& db)
{
    return db.prepare("INSERT INTO playlist_items(playlist_id, position, uri, source_id) "
                      "VALUES(?1, ?2, ?3, (SELECT id FROM sources WHERE uri = ?3))");
}

// Inserts uris at first, first + 1 … inside tx; false once a step failed.
bool insertEntries(Transaction& tx, Statement& insert, qint64 id, qint64 first, const QStringList& uris)
{
    qint64 position = first;
    for (const QString& uri : uris) {
        insert.reset();
        insert.bindInt64(1, id).bindInt64(2, position++).bindText(3, uri);
        if (!tx.run(insert))
            return false;
    }
    return true;
}

bool stampModified(Database& db, Transaction& tx, qint64 id, qint64 now)
{
    Statement update = db.prepare("UPDATE playlists SET modified = ?2 WHERE id = ?1");
    update.bindInt64(1, id).bindInt64(2, now);
    return tx.run(update);
}

QStringList localPaths(const QStringList& uris)
{
    QStringList paths;
    paths.reserve(uris.size());
    for (const QString& uri : uris)
        paths << Library::localPath(uri);
    return paths;
}

} // namespace

QVariantList Library::playlists() const
{
    Statement select = db.prepare("SELECT p.id, p.name, p.modified, p.last_played, "
                                  "(SELECT COUNT(*) FROM playlist_items WHERE playlist_id = p.id) "
                                  "FROM playlists p WHERE p.deleted_at IS NULL ORDER BY p.name COLLATE NOCASE");
    QVariantList result;
    while (select.next()) {
        result.push_back(QVariantMap {
            { QStringLiteral("id"), select.columnInt64(0) },
            { QStringLiteral("name"), select.columnText(1) },
            { QStringLiteral("modified"), select.columnInt64(2) },
            { QStringLiteral("lastPlayed"), select.columnInt64(3) },
            { QStringLiteral("count"), select.columnInt64(4) },
        });
    }
    return result;
}

int Library::createPlaylist(const QString& name, const QStringList& uris)
{
    QString title = name.trimmed();
    if (title.isEmpty())
        title = tr("New Playlist");
    const qint64 now = QDateTime::currentSecsSinceEpoch();

    // The row and its entries land together: a failed entry never leaves a half-filled playlist behind, and
    // a failed row never hands its entries to the id of an older insert.
    qint64 id = 0;
    {
        Transaction tx(db);
        Statement insert = db.prepare("INSERT INTO playlists(name, created, modified) VALUES(?1, ?2, ?2)");
        insert.bindText(1, title).bindInt64(2, now);
        if (tx.run(insert)) {
            id = db.lastInsertId();
            Statement entry = prepareEntryInsert(db);
            insertEntries(tx, entry, id, 0, localPaths(uris));
        }
        if (!tx.commit())
            id = 0;
    }
    emit playlistsChanged();
    if (id == 0) {
        reportSaveFailure();
        return 0;
    }
    emit notice(tr("Saved playlist \"%1\"").arg(title));
    return int(id);
}

void Library::appendToPlaylist(int id, const QStringList& uris)
{
    bool saved = false;
    {
        Transaction tx(db);
        qint64 next = 0;
        Statement last = db.prepare("SELECT IFNULL(MAX(position), -1) + 1 FROM playlist_items WHERE playlist_id = ?1");
        last.bindInt64(1, id);
        if (last.next())
            next = last.columnInt64(0);
        last.finalize();
        Statement insert = prepareEntryInsert(db);
        // An unknown id inserts nothing: the entries' foreign key refuses them and the whole append rolls back.
        insertEntries(tx, insert, id, next, localPaths(uris));
        stampModified(db, tx, id, QDateTime::currentSecsSinceEpoch());
        saved = tx.commit();
    }
    if (!saved)
        reportSaveFailure();
    emit playlistsChanged();
}

void Library::removeFromPlaylist(int id, const QVariantList& positions)
{
    std::set<int> removed;
    for (const QVariant& position : positions) {
        bool ok = false;
        const int index = position.toInt(&ok);
        // A value that is no number names no entry; taking it as 0 would remove the first one.
        if (ok)
            removed.insert(index);
    }
    const QStringList entries = playlistUris(id);

    // The playlist is rewritten whole; a failed insert rolls everything back, so it never comes out shorter
    // than asked.
    bool saved = false;
    {
        Transaction tx(db);
        Statement clear = db.prepare("DELETE FROM playlist_items WHERE playlist_id = ?1");
        clear.bindInt64(1, id);
        tx.run(clear);
        QStringList kept;
        for (int i = 0; i < entries.size(); ++i) {
            if (!removed.count(i))
                kept << entries[i];
        }
        Statement insert = prepareEntryInsert(db);
        insertEntries(tx, insert, id, 0, kept);
        stampModified(db, tx, id, QDateTime::currentSecsSinceEpoch());
        saved = tx.commit();
    }
    if (!saved)
        reportSaveFailure();
    emit playlistsChanged();
}

void Library::renamePlaylist(int id, const QString& name)
{
    const QString title = name.trimmed();
    if (title.isEmpty())
        return;
    Statement update = db.prepare("UPDATE playlists SET name = ?2, modified = ?3 WHERE id = ?1");
    update.bindInt64(1, id).bindText(2, title).bindInt64(3, QDateTime::currentSecsSinceEpoch());
    update.run();
    emit playlistsChanged();
}

void Library::deletePlaylist(int id)
{
    Statement update = db.prepare("UPDATE playlists SET deleted_at = ?2 WHERE id = ?1");
    update.bindInt64(1, id).bindInt64(2, QDateTime::currentSecsSinceEpoch());
    update.run();
    db.exec(purgeSql);
    lastDeletedPlaylistId = id;
    emit playlistsChanged();
}

void Library::undoDeletePlaylist()
{
    if (lastDeletedPlaylistId == 0)
        return;
    Statement update = db.prepare("UPDATE playlists SET deleted_at = NULL WHERE id = ?1");
    update.bindInt64(1, lastDeletedPlaylistId);
    update.run();
    lastDeletedPlaylistId = 0;
    emit playlistsChanged();
}

QStringList Library::playlistUris(int id) const
{
    Statement select = db.prepare("SELECT uri FROM playlist_items WHERE playlist_id = ?1 ORDER BY position");
    select.bindInt64(1, id);
    QStringList uris;
    while (select.next())
        uris << select.columnText(0);
    return uris;
}

void Library::markPlaylistPlayed(int id)
{
    Statement update = db.prepare("UPDATE playlists SET last_played = ?2 WHERE id = ?1");
    update.bindInt64(1, id).bindInt64(2, QDateTime::currentSecsSinceEpoch());
    update.run();
    emit playlistsChanged();
}

} // namespace kvr::ui::library
