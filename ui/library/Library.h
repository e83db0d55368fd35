#pragma once

#include "ui/library/Database.h"
#include "ui/library/ScanStatus.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <vector>

namespace kvr::ui::library {

class LibraryScanner;
class Transaction;

// The media library ("Library" in QML): the folders, the scanner that keeps the database in step with them,
// and everything QML asks of the library. Lives on the GUI thread; its connection is used there only, while
// the scanner writes through its own.
class Library : public QObject {
    Q_OBJECT
    Q_CLASSINFO("QML.Element", "anonymous")
    Q_PROPERTY(QVariantList folders READ folders NOTIFY foldersChanged)
    Q_PROPERTY(QStringList excludedFolders READ excludedFolders NOTIFY foldersChanged)
    Q_PROPERTY(bool scanning READ scanning NOTIFY scanChanged)
    Q_PROPERTY(bool scanPaused READ scanPaused NOTIFY scanChanged)
    Q_PROPERTY(QVariantMap scanStatus READ scanStatus NOTIFY scanChanged)
    Q_PROPERTY(QVariantMap counts READ counts NOTIFY contentChanged)
    Q_PROPERTY(QVariantList playlists READ playlists NOTIFY playlistsChanged)
    Q_PROPERTY(int revision READ revision NOTIFY contentChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY errorChanged)
    Q_PROPERTY(int backupRetentionDays READ backupRetentionDays WRITE setBackupRetentionDays NOTIFY settingsChanged)
    Q_PROPERTY(int rescanHours READ rescanHours WRITE setRescanHours NOTIFY settingsChanged)

public:
    // How long after it is armed the start-up work (a full scan of the folders, then the maintenance pass) runs.
    static constexpr int kStartupDelayMs = 3000;

    // Arms the start-up work kStartupDelayMs from now.
    explicit Library(QObject* parent = nullptr);
    // The same with the scanner's worker at the given nice value instead of the lowest priority (tests lower it so
    // that busy loops cannot starve a pass for minutes).
    Library(QObject* parent, int scanThreadNice);
    ~Library() override;

    // The cover cache (the application-data location followed by "/covers"), read by the image provider.
    QString coversDirectory() const { return coversDir; }
    // The database file, for start-up checks and tests.
    QString databasePath() const { return dbPath; }

    // The player holds the start-up work until its window has shown its first frame, so that the scan and the
    // backup do not compete with the start: holdStartup stops the countdown, startupAfter starts it again from
    // now. Neither does anything once the work has run.
    void holdStartup();
    void startupAfter(int delayMs = kStartupDelayMs);
    // The countdown to the start-up work is running.
    bool startupPending() const { return startupTimer.isActive(); }

    QVariantList folders() const;
    QStringList excludedFolders() const;
    bool scanning() const { return status.running; }
    bool scanPaused() const { return status.paused; }
    QVariantMap scanStatus() const;
    QVariantMap counts() const;
    QVariantList playlists() const;
    int revision() const { return revision_; }
    QString lastError() const { return lastError_; }
    int backupRetentionDays() const { return backupDays; }
    void setBackupRetentionDays(int days);
    int rescanHours() const { return rescanHours_; }
    void setRescanHours(int hours);

    // One page of a library list for the list model: rows of the view params name, from offset, at most
    // limit of them; total, when given, receives the length of the whole list.
    QVariantList queryPage(const QVariantMap& params, int offset, int limit, int* total = nullptr);

    // A "file:" URL as its local file, any other text as it is, with native separators.
    static QString localPath(const QString& pathOrUrl);

    // The folder to show in the file manager: a folder row's own path, or the directory that holds an item,
    // as a file URL. Built by QUrl, so "#", "?" and "%" in a name stay part of the path. Empty for a path
    // that is empty or not absolute.
    Q_INVOKABLE QUrl folderUrl(const QString& path, bool isFolder) const;

    // The conditions of a WHERE under construction over the items view, joined with " AND ", and their
    // bound values in placeholder order, clause after clause. User text only ever travels in values.
    struct ClauseList {
        QStringList clauses;
        QVariantList values;
    };

    // One search text while it is being parsed: the expression so far, its values, the connective the
    // next term joins with and whether a NOT waits for the next term.
    struct SearchParse {
        QStringList parts;
        QVariantList values;
        QString connective = QStringLiteral(" AND ");
        bool pendingNot = false;
    };

    // The search field's text as clauses: none for a text without terms, one parenthesised expression,
    // or, for unbalanced quotes or a text of keywords only, one full-text clause per word.
    static ClauseList parseSearch(const QString& text);
    // One field:value term as a clause with its values appended; false when the field or the value is not
    // understood (the caller searches the term as text). A full-text value without a character the index
    // keeps (letters, digits) is understood and gives an empty clause: there is nothing to look for.
    static bool fieldClause(const QString& field, const QString& value, QString& clause, QVariantList& values);
    // A number, comparison or range on column, scaled into the column's unit; false for anything else.
    static bool rangeClause(
        const QString& column, double scale, const QString& value, QString& clause, QVariantList& values);
    // Adds one understood term to the expression, negated when asked, joined by the pending connective.
    static void negateClause(SearchParse& parse, const QString& clause, const QVariantList& values, bool negate);
    // Text as one FTS5 string: control characters as spaces, double quotes doubled, the whole enclosed in
    // double quotes.
    static QString ftsQuote(const QString& text);

    // The structured filters of the library view as clauses (genre, years, rating, format, bitrate, folder,
    // added and played within days, unplayed).
    static void applyFilters(ClauseList& where, const QVariantMap& filters);
    // "column IS ? COLLATE NOCASE" with the key's value when key holds name; IS, so a null value selects the
    // rows without one.
    static void equalsClause(ClauseList& where, const QVariantMap& key, const QString& name, const QString& column);
    // The current row of an item query as a map of column name to value, plus "type" = "item".
    static QVariantMap rowToMap(const Statement& row);

    // A grouping view: the grouped column, extra select text, its own WHERE clause and its order.
    struct GroupView {
        QString column;
        QString extra;
        QString clause;
        QString order;
    };
    static const QHash<QString, GroupView>& groupViews();
    // The "sort" keys of the item views and their ORDER BY texts.
    static const QHash<QString, QString>& sortOrders();
    // The select list of every item page.
    static const QString itemColumns;

    // A field editMetadata accepts: its key, the user-value column of sources it writes, and whether the
    // value is stored as an integer.
    struct EditableField {
        const char* key;
        const char* column;
        bool integer;
    };
    static const QHash<QString, EditableField>& editableFields();
    // Rebuilds the full-text row of one source from its effective values, inside the caller's transaction.
    static bool refreshSearchIndex(Database& db, Transaction& tx, qint64 sourceId);

public slots:
    // Folders and scans (Library.cpp, LibraryFolders.cpp).
    bool addFolder(const QString& pathOrUrl);
    void removeFolder(const QString& path);
    void excludeFolder(const QString& pathOrUrl);
    void includeFolder(const QString& path);
    void scanNow();
    void pauseScan(bool p);
    void cancelScan();

    // Items and edits (LibraryEdits.cpp).
    QVariantMap item(qlonglong id) const;
    QStringList urisFor(const QVariantList& ids) const;
    // Queries (LibraryQueries.cpp).
    QVariantList idsForQuery(const QVariantMap& params);
    void setRating(const QVariantList& ids, int stars);
    void setTags(const QVariantList& ids, const QString& commaSeparated, bool append);
    void editMetadata(const QVariantList& ids, const QVariantMap& fields);
    QString writeTagsToFile(qlonglong id);
    void removeSources(const QVariantList& ids);
    QString deleteFiles(const QVariantList& ids);
    void refreshCover(qlonglong id);
    // Play statistics (LibraryExports.cpp): one play of uri, playedUs microseconds long.
    void recordPlay(const QString& uri, qlonglong playedUs);
    // Playlists (LibraryPlaylists.cpp).
    int createPlaylist(const QString& name, const QStringList& uris);
    void appendToPlaylist(int id, const QStringList& uris);
    void removeFromPlaylist(int id, const QVariantList& positions);
    void renamePlaylist(int id, const QString& name);
    void deletePlaylist(int id);
    void undoDeletePlaylist();
    QStringList playlistUris(int id) const;
    void markPlaylistPlayed(int id);
    // Exports (LibraryExports.cpp).
    bool exportPlaylist(int id, const QString& fileUrl) const;
    bool exportCsv(const QString& fileUrl) const;
    bool exportJson(const QString& fileUrl) const;
    // Backups (LibraryBackups.cpp).
    bool backupNow();
    QVariantList backups() const;
    bool restoreBackup(const QString& file);

    QString searchHelp() const;

signals:
    void foldersChanged();
    void scanChanged();
    void contentChanged();
    void playlistsChanged();
    void errorChanged();
    void settingsChanged();
    // A short, translated message for the user (scan results, saved playlists and the like).
    void notice(const QString& text);

protected:
    // Raises revision and emits contentChanged: content that QML shows has changed.
    void bumpRevision();
    // The notice of a multi-row write that was rolled back, so a lost edit is never silent.
    void reportSaveFailure();

private:
    // A full scan, asked of the scanner only while the database is open, so a file the library could not
    // open or refused is never written.
    void requestFullScan();
    // Watches the library folders and their subdirectories, and above each unreachable folder the nearest
    // folder that exists. True when the set of unreachable folders differs from the last look.
    bool rewatchFolders();
    // The folder rows whose path is not a directory now.
    QSet<QString> unreachableFolders() const;
    void watchForReturns();
    // A folder that was unreachable is back, or one has gone: its watches follow and the rows are announced.
    void checkReachability();
    void onDirectoryChanged(const QString& path);
    void rescanPendingDirectories();
    void onScanProgress(const ScanStatus& scanStatus);
    void onScanFinished(const ScanStatus& scanStatus);
    void onStartupTimer();
    void runMaintenance();
    void readSettings();
    // Stores one setting in library_meta.
    void writeSetting(const char* key, int value);
    // The text of a library file that SQLite finds damaged.
    static QString damagedText();
    // A backup found the live file damaged: say so, stop scanning and close the connection, so that the
    // file is left as it is for a restore.
    void setAsideDamagedFile();
    // The pages of queryPage that are not plain item lists (LibraryQueries.cpp).
    QVariantList groupPage(const QString& view, const GroupView& group, const QVariantMap& key, ClauseList& where,
        int offset, int limit, int* total);
    // A folder's subfolders, then its own items; the library folders for an empty folder.
    QVariantList folderRows(const QString& folder, ClauseList& where);
    QVariantList playlistRows(qint64 playlistId);

    // One list worked out whole: its SQL and values, the state of the content it was read in, and either the
    // ordered item ids (item views) or the groups' values, packed, and where each group's begin (group views).
    // A group's row map is built only when a page shows it: building thousands of maps cost more than the
    // grouping itself.
    struct ListCache {
        QString sql;
        QVariantList values;
        int revision = 0;
        qint64 dataVersion = 0;
        qint64 changes = 0;
        std::vector<qint64> ids;
        QStringList columns;
        QByteArray groupCells;
        std::vector<qsizetype> groupStarts;
    };
    // The cached list for sql and values, read again when it is missing, from another revision, or, when
    // fresh is asked (a reload that counts the list), when anything was written since. read fills a new entry.
    const ListCache& cachedList(const QString& sql, const QVariantList& values, bool fresh,
        const std::function<void(Statement&, ListCache&)>& read);
    // What the lists read their rows from: the stored keys when the file has them, the items view otherwise.
    QString itemSource() const;
    // The item rows of ids[offset, offset + limit), in that order; a row gone since is left out.
    QVariantList itemRows(const std::vector<qint64>& ids, int offset, int limit);

    // Declared first, so it is closed last. Mutable: the const getters prepare their reads on it.
    mutable Database db;
    QString dbPath;
    QString coversDir;
    QString backupsDir;
    std::unique_ptr<LibraryScanner> scanner;
    ScanStatus status;
    QFileSystemWatcher watcher;
    // Separate from watcher: a change above a library folder is never a directory to scan.
    QFileSystemWatcher returnWatcher;
    QSet<QString> unreachable;
    QSet<QString> pendingDirs;
    QTimer watchTimer;
    QTimer maintenanceTimer;
    QTimer contentTimer;
    QTimer startupTimer;
    bool startupRan = false;
    int revision_ = 0;
    QString lastError_;
    int backupDays = 7;
    int rescanHours_ = 24;
    int lastDeletedPlaylistId = 0;

    // The counts of the last read and the state of the content they belong to.
    struct CountsCache {
        bool valid = false;
        int revision = 0;
        int generation = 0;
        qint64 changes = 0;
        QVariantMap values;
    };
    mutable CountsCache countsCache;
    // Raised by folder and playlist changes, which the counts include and the revision does not follow.
    int countsGeneration = 0;
    // The last few lists read, most recent first: the pages of a list are cut from it.
    std::vector<ListCache> lists;
    // Declared after db, so it is finalized before the connection closes.
    Statement rowById;
};

} // namespace kvr::ui::library
