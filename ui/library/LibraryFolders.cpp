#include "platform/PathKey.h"
#include "ui/library/Library.h"
#include "ui/library/LibraryScanner.h"
#include "ui/library/Statement.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

namespace kvr::ui::library {

namespace {

// Beyond this many subdirectories the hourly maintenance and the rescan interval keep the library current.
constexpr int watchLimit = 2000;

// A path or URL from the user as the path stored for a folder.
QString folderPath(const QString& pathOrUrl)
{
    return QDir::toNativeSeparators(QDir::cleanPath(Library::localPath(pathOrUrl)));
}

} // namespace

bool Library::addFolder(const QString& pathOrUrl)
{
    const QString path = folderPath(pathOrUrl);
    if (path.isEmpty() || !QFileInfo(path).isDir()) {
        emit notice(tr("Not a folder: %1").arg(path));
        return false;
    }
    // Keys end in "/" so that "/x/Musical" does not count as inside "/x/Music"; letter case is kept, as
    // Linux keeps it: "/x/music" is another folder.
    const QString key = platform::pathKey(path);
    for (const QVariant& entry : folders()) {
        const QString other = platform::pathKey(entry.toMap().value(QStringLiteral("path")).toString());
        if (key.startsWith(other)) {
            emit notice(tr("%1 is already inside a library folder").arg(path));
            return false;
        }
        if (other.startsWith(key))
            emit notice(tr("%1 contains an existing library folder; it now covers it").arg(path));
    }
    Statement insert = db.prepare("INSERT OR IGNORE INTO library_folders(path) VALUES(?1)");
    insert.bindText(1, path);
    insert.run();
    emit foldersChanged();
    // The folder count and the folder view are content too.
    bumpRevision();
    requestFullScan();
    return true;
}

void Library::removeFolder(const QString& path)
{
    Statement remove = db.prepare("DELETE FROM library_folders WHERE path = ?1");
    remove.bindText(1, path);
    remove.run();
    emit foldersChanged();
    bumpRevision();
    requestFullScan();
}

void Library::excludeFolder(const QString& pathOrUrl)
{
    Statement insert = db.prepare("INSERT OR IGNORE INTO excluded_folders(path) VALUES(?1)");
    insert.bindText(1, folderPath(pathOrUrl));
    insert.run();
    emit foldersChanged();
    requestFullScan();
}

void Library::includeFolder(const QString& path)
{
    Statement remove = db.prepare("DELETE FROM excluded_folders WHERE path = ?1");
    remove.bindText(1, path);
    remove.run();
    emit foldersChanged();
    requestFullScan();
}

QVariantList Library::folders() const
{
    QVariantList result;
    Statement select = db.prepare(
        "SELECT f.id, f.path, f.enabled, f.last_full_scan, (SELECT COUNT(*) FROM sources WHERE folder_id = f.id "
        "AND available = 1) FROM library_folders f ORDER BY f.path");
    while (select.next()) {
        const QString path = select.columnText(1);
        result.push_back(QVariantMap {
            { QStringLiteral("id"), select.columnInt64(0) },
            { QStringLiteral("path"), path },
            { QStringLiteral("enabled"), select.columnInt64(2) != 0 },
            { QStringLiteral("lastScan"), select.columnInt64(3) },
            { QStringLiteral("items"), select.columnInt64(4) },
            { QStringLiteral("online"), QFileInfo(path).isDir() },
        });
    }
    return result;
}

QStringList Library::excludedFolders() const
{
    QStringList result;
    Statement select = db.prepare("SELECT path FROM excluded_folders ORDER BY path");
    while (select.next())
        result.push_back(select.columnText(0));
    return result;
}

bool Library::rewatchFolders()
{
    const QStringList watched = watcher.directories();
    if (!watched.isEmpty())
        watcher.removePaths(watched);

    QSet<QString> missing;
    QStringList paths;
    for (const QVariant& entry : folders()) {
        const QString root = entry.toMap().value(QStringLiteral("path")).toString();
        if (!QFileInfo(root).isDir()) {
            missing.insert(root);
            continue;
        }
        paths.push_back(root);
        // Hidden directories are left out and symbolic links to folders are neither followed nor watched, as
        // the scan does not enter them: a change seen through one would start a pass over the folder it names.
        QDirIterator walk(root, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (paths.size() < watchLimit && walk.hasNext()) {
            walk.next();
            if (!walk.fileInfo().isSymLink())
                paths.push_back(walk.filePath());
        }
    }
    const bool changed = missing != unreachable;
    unreachable = missing;
    watchForReturns();
    if (paths.isEmpty())
        return changed;
    // inotify watches one directory at a time; past the user's watch limit the kernel refuses the rest.
    const QStringList refused = watcher.addPaths(paths);
    if (!refused.isEmpty())
        qWarning().noquote() << "library: could not watch" << refused.size() << "folders; periodic scans cover them";
    return changed;
}

QSet<QString> Library::unreachableFolders() const
{
    QSet<QString> missing;
    Statement select = db.prepare("SELECT path FROM library_folders");
    while (select.next()) {
        const QString path = select.columnText(0);
        if (!QFileInfo(path).isDir())
            missing.insert(path);
    }
    return missing;
}

void Library::watchForReturns()
{
    // A folder that comes back appears as an entry of the nearest folder above it that exists. (A file
    // system mounted there shows no entry change; the hourly maintenance looks for those.)
    QSet<QString> above;
    for (const QString& path : std::as_const(unreachable)) {
        QString parent = QDir::cleanPath(path);
        do
            parent = QFileInfo(parent).path();
        while (!QFileInfo(parent).isDir() && parent != QFileInfo(parent).path());
        above.insert(parent);
    }
    const QStringList watched = returnWatcher.directories();
    if (QSet<QString>(watched.cbegin(), watched.cend()) == above)
        return;
    if (!watched.isEmpty())
        returnWatcher.removePaths(watched);
    if (!above.isEmpty())
        returnWatcher.addPaths(QStringList(above.cbegin(), above.cend()));
}

void Library::checkReachability()
{
    const QSet<QString> now = unreachableFolders();
    if (now == unreachable) {
        // A folder on the way down may have appeared, or the watched one gone.
        watchForReturns();
        return;
    }
    // No pass is asked for here: a mount point appears empty a moment before its file system is mounted
    // on it, and a pass then would mark every item of the folder missing. The next full pass reconciles.
    rewatchFolders();
    emit foldersChanged();
}

void Library::onDirectoryChanged(const QString& path)
{
    pendingDirs.insert(path);
    watchTimer.start();
}

void Library::rescanPendingDirectories()
{
    // Without a connection (a refused or damaged file) nothing is scanned into it.
    if (!scanner || !db.isOpen() || pendingDirs.isEmpty())
        return;
    scanner->requestPaths(QStringList(pendingDirs.cbegin(), pendingDirs.cend()));
    pendingDirs.clear();
}

} // namespace kvr::ui::library
