#include "engine/convert/TagWriter.h"
#include "platform/Trash.h"
#include "ui/library/Library.h"
#include "ui/library/LibraryScanner.h"
#include "ui/library/Statement.h"
#include "ui/library/Transaction.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <string>
#include <vector>

namespace kvr::ui::library {

namespace {

std::vector<qint64> toIds(const QVariantList& ids)
{
    std::vector<qint64> out;
    out.reserve(size_t(ids.size()));
    for (const QVariant& id : ids)
        out.push_back(id.toLongLong());
    return out;
}

// Every row that belongs to one source; its tracks and videos rows follow through their foreign keys.
// Playlist entries name files by uri and stay.
bool removeSourceRows(Database& db, Transaction& tx, const std::vector<qint64>& ids)
{
    static const char* const statements[] = {
        "DELETE FROM search WHERE rowid = ?1",
        "DELETE FROM source_tags WHERE source_id = ?1",
        "DELETE FROM source_ratings WHERE source_id = ?1",
        "DELETE FROM play_stats WHERE source_id = ?1",
        "DELETE FROM play_history WHERE source_id = ?1",
        "DELETE FROM user_meta WHERE source_id = ?1",
        "DELETE FROM sources WHERE id = ?1",
    };
    for (const qint64 id : ids) {
        for (const char* sql : statements) {
            Statement remove = db.prepare(sql);
            remove.bindInt64(1, id);
            if (!tx.run(remove))
                return false;
        }
    }
    return true;
}

// The tag keys written into a file, each with the item field that gives its value.
constexpr struct {
    const char* tag;
    const char* field;
} fileTags[] = {
    { "title", "title" },
    { "artist", "artist" },
    { "album_artist", "album_artist" },
    { "album", "album" },
    { "date", "year" },
    { "genre", "genre" },
    { "composer", "composer" },
    { "track", "track_number" },
};

} // namespace

const QHash<QString, Library::EditableField>& Library::editableFields()
{
    static const QHash<QString, EditableField> fields = [] {
        const EditableField table[] = {
            { "title", "u_title", false },
            { "artist", "u_artist", false },
            { "album", "u_album", false },
            { "album_artist", "u_album_artist", false },
            { "year", "u_year", true },
            { "genre", "u_genre", false },
            { "track", "u_track", true },
            { "composer", "u_composer", false },
            { "category", "u_category", false },
            { "show", "u_show", false },
            { "season", "u_season", true },
            { "episode", "u_episode", true },
        };
        QHash<QString, EditableField> hash;
        for (const EditableField& field : table)
            hash.insert(QString::fromLatin1(field.key), field);
        return hash;
    }();
    return fields;
}

bool Library::refreshSearchIndex(Database& db, Transaction& tx, qint64 sourceId)
{
    Statement remove = db.prepare("DELETE FROM search WHERE rowid = ?1");
    remove.bindInt64(1, sourceId);
    if (!tx.run(remove))
        return false;
    Statement insert
        = db.prepare("INSERT INTO search(rowid, title, artist, album, composer, genre, tags, comment, path) "
                     "SELECT i.id, i.title, IFNULL(i.artist,'') || ' ' || IFNULL(i.album_artist,'') || ' ' || "
                     "IFNULL(i.show,''), i.album, i.composer, i.genre, "
                     "(SELECT group_concat(tag, ' ') FROM source_tags WHERE source_id = i.id), i.comment, i.uri "
                     "FROM items i WHERE i.id = ?1");
    insert.bindInt64(1, sourceId);
    return tx.run(insert);
}

QVariantMap Library::item(qlonglong id) const
{
    Statement select = db.prepare(QStringLiteral("SELECT %1 FROM items WHERE id = ?1").arg(itemColumns));
    select.bindInt64(1, id);
    if (!select.next())
        return {};
    QVariantMap map;
    for (int i = 0; i < select.columnCount(); ++i)
        map.insert(select.columnName(i), select.columnValue(i));

    Statement tags = db.prepare("SELECT group_concat(tag, ', ') FROM source_tags WHERE source_id = ?1");
    tags.bindInt64(1, id);
    map.insert(QStringLiteral("tags"), tags.next() ? tags.columnText(0) : QString());

    Statement original = db.prepare(
        "SELECT COALESCE(t.title, v.title), ar.name, al.title, COALESCE(t.year, v.year), g.name, s.extra_json "
        "FROM sources s LEFT JOIN tracks t ON t.source_id=s.id LEFT JOIN videos v ON v.source_id=s.id "
        "LEFT JOIN artists ar ON ar.id=t.artist_id LEFT JOIN albums al ON al.id=t.album_id "
        "LEFT JOIN genres g ON g.id=COALESCE(t.genre_id, v.genre_id) WHERE s.id=?1");
    original.bindInt64(1, id);
    if (original.next()) {
        map.insert(QStringLiteral("original"),
            QVariantMap {
                { QStringLiteral("title"), original.columnText(0) },
                { QStringLiteral("artist"), original.columnText(1) },
                { QStringLiteral("album"), original.columnText(2) },
                { QStringLiteral("year"), original.columnInt64(3) },
                { QStringLiteral("genre"), original.columnText(4) },
            });
        if (!original.isNull(5)) {
            const QJsonDocument extra = QJsonDocument::fromJson(original.columnText(5).toUtf8());
            map.insert(QStringLiteral("extra"), extra.isObject() ? extra.object().toVariantMap() : QVariantMap());
        }
    }
    return map;
}

QStringList Library::urisFor(const QVariantList& ids) const
{
    QStringList uris;
    Statement select = db.prepare("SELECT uri FROM sources WHERE id = ?1");
    for (const qint64 id : toIds(ids)) {
        select.reset();
        select.bindInt64(1, id);
        if (select.next())
            uris << select.columnText(0);
    }
    return uris;
}

void Library::setRating(const QVariantList& ids, int stars)
{
    const int rating = qBound(0, stars, 5) * 20;
    bool saved = false;
    {
        Transaction tx(db);
        // Only for sources that exist: a rating row left for an unknown id would pass to whatever source is
        // given that id later.
        Statement insert = db.prepare("INSERT OR REPLACE INTO source_ratings(source_id, rating) "
                                      "SELECT ?1, ?2 WHERE EXISTS (SELECT 1 FROM sources WHERE id = ?1)");
        for (const qint64 id : toIds(ids)) {
            insert.reset();
            insert.bindInt64(1, id).bindInt64(2, rating);
            if (!tx.run(insert))
                break;
        }
        saved = tx.commit();
    }
    bumpRevision();
    if (!saved)
        reportSaveFailure();
}

void Library::setTags(const QVariantList& ids, const QString& commaSeparated, bool append)
{
    QStringList tags;
    for (const QString& part : commaSeparated.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString tag = part.trimmed();
        if (!tag.isEmpty())
            tags << tag;
    }

    bool saved = false;
    {
        Transaction tx(db);
        Statement clear = db.prepare("DELETE FROM source_tags WHERE source_id = ?1");
        // The tag column compares without ASCII case, so a tag the source has in another case is skipped. As
        // with ratings, an unknown id gets no rows.
        Statement insert = db.prepare("INSERT OR IGNORE INTO source_tags(source_id, tag) "
                                      "SELECT ?1, ?2 WHERE EXISTS (SELECT 1 FROM sources WHERE id = ?1)");
        for (const qint64 id : toIds(ids)) {
            if (!append) {
                clear.reset();
                clear.bindInt64(1, id);
                tx.run(clear);
            }
            for (const QString& tag : std::as_const(tags)) {
                insert.reset();
                insert.bindInt64(1, id).bindText(2, tag);
                tx.run(insert);
            }
            if (!refreshSearchIndex(db, tx, id))
                break;
        }
        saved = tx.commit();
    }
    bumpRevision();
    if (!saved)
        reportSaveFailure();
}

void Library::editMetadata(const QVariantList& ids, const QVariantMap& fields)
{
    const std::vector<qint64> sourceIds = toIds(ids);
    bool saved = false;
    {
        Transaction tx(db);
        for (auto entry = fields.constBegin(); entry != fields.constEnd() && tx.ok(); ++entry) {
            const auto field = editableFields().constFind(entry.key());
            if (field == editableFields().constEnd())
                continue;
            Statement update = db.prepare(
                QStringLiteral("UPDATE sources SET %1 = ?1 WHERE id = ?2").arg(QLatin1String(field->column)));
            const QString value = entry.value().toString().trimmed();
            for (const qint64 id : sourceIds) {
                update.reset();
                // An empty value drops the override, so the value read from the file shows again.
                if (value.isEmpty())
                    update.bindNull(1);
                else if (field->integer)
                    update.bindInt64(1, value.toLongLong(nullptr, 10));
                else
                    update.bindText(1, value);
                update.bindInt64(2, id);
                if (!tx.run(update))
                    break;
            }
        }
        for (const qint64 id : sourceIds) {
            if (!refreshSearchIndex(db, tx, id))
                break;
        }
        saved = tx.commit();
    }
    bumpRevision();
    if (!saved)
        reportSaveFailure();
}

QString Library::writeTagsToFile(qlonglong id)
{
    const QVariantMap shown = item(id);
    if (shown.isEmpty())
        return tr("Not in the library");

    engine::TagList tags;
    for (const auto& pair : fileTags) {
        const QString value = shown.value(QString::fromLatin1(pair.field)).toString();
        if (!value.isEmpty() && value != QLatin1String("0"))
            tags.emplace_back(pair.tag, value.toStdString());
    }
    std::string error;
    const QString uri = shown.value(QStringLiteral("uri")).toString();
    if (engine::writeTags(QFile::encodeName(uri).toStdString(), tags, error))
        return QString();
    return QString::fromStdString(error);
}

void Library::removeSources(const QVariantList& ids)
{
    bool saved = false;
    {
        Transaction tx(db);
        removeSourceRows(db, tx, toIds(ids));
        saved = tx.commit();
    }
    bumpRevision();
    if (!saved)
        reportSaveFailure();
}

QString Library::deleteFiles(const QVariantList& ids)
{
    // Only the rows of files that went to the trash leave the library: a file that stayed on disk keeps its
    // rating, tags and history instead of coming back bare at the next scan.
    std::vector<qint64> trashed;
    QStringList failed;
    {
        Statement select = db.prepare("SELECT uri FROM sources WHERE id = ?1");
        for (const qint64 id : toIds(ids)) {
            select.reset();
            select.bindInt64(1, id);
            if (!select.next())
                continue;
            const QString uri = select.columnText(0);
            QString error;
            if (platform::moveToTrash(uri, &error)) {
                trashed.push_back(id);
            } else {
                qWarning().noquote() << "library:" << error;
                failed << QFileInfo(uri).fileName();
            }
        }
    }

    bool saved = false;
    {
        Transaction tx(db);
        removeSourceRows(db, tx, trashed);
        saved = tx.commit();
    }
    bumpRevision();
    if (!saved)
        reportSaveFailure();
    if (failed.isEmpty())
        return QString();
    return tr("Could not delete: %1").arg(failed.join(QStringLiteral(", ")));
}

void Library::refreshCover(qlonglong id)
{
    Statement select = db.prepare("SELECT uri, cover_key FROM sources WHERE id = ?1");
    select.bindInt64(1, id);
    if (!select.next())
        return;
    const QString uri = select.columnText(0);
    const QString key = select.columnText(1);
    select.finalize();

    if (!key.isEmpty()) {
        // The full cover "<key>.jpg" and its sized copies "<key>_<size>.jpg", matched by name rather than by a
        // wildcard filter: "<key>*.jpg" would also take the covers of longer keys that begin with this one, and
        // a stored key is never read as a pattern.
        QDir covers(coversDir);
        const QString full = key + QStringLiteral(".jpg");
        const QString sized = key + QLatin1Char('_');
        for (const QString& name : covers.entryList({ QStringLiteral("*.jpg") }, QDir::Files, QDir::NoSort)) {
            if (name == full || (name.startsWith(sized) && name.endsWith(QLatin1String(".jpg"))))
                covers.remove(name);
        }
    }

    // With mtime 0 the next pass takes the file for changed and reads it, cover included, again.
    Statement reset = db.prepare("UPDATE sources SET mtime = 0 WHERE id = ?1");
    reset.bindInt64(1, id);
    reset.run();

    if (db.isOpen() && scanner)
        scanner->requestPaths({ QFileInfo(uri).absolutePath() });
}

} // namespace kvr::ui::library
