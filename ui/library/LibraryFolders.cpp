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
    requestFullScan();
    return true;
}

void Library::removeFolder(const QString& path)
{
    Statement remove = db.prepare("DELETE FROM library_folders WHERE path = ?1");
    remove.bindText(1, path);
    remove.run();
    emit foldersChanged();
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

void Library::rewatchFolders()
{
    const QStringList watched = watcher.directories();
    if (!watched.isEmpty())
        watcher.removePaths(watched);

    QStringList paths;
    for (const QVariant& entry : folders()) {
        const QString root = entry.toMap().value(QStringLiteral("path")).toString();
        if (!QFileInfo(root).isDir())
            continue;
        paths.push_back(root);
        // Hidden directories are left out and symbolic links are not followed, as in the scan itself.
        QDirIterator walk(root, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (paths.size() < watchLimit && walk.hasNext())
            paths.push_back(walk.next());
    }
    if (paths.isEmpty())
        return;
    // inotify watches one directory at a time; past the user's watch limit the kernel refuses the rest.
    const QStringList refused = watcher.addPaths(paths);
    if (!refused.isEmpty())
        qWarning().noquote() << "library: could not watch" << refused.size() << "folders; periodic scans cover them";
}

void Library::onDirectoryChanged(const QString& path)
{
    pendingDirs.insert(path);
    watchTimer.start();
}

void Library::rescanPendingDirectories()
{
    if (!scanner || pendingDirs.isEmpty())
        return;
    scanner->requestPaths(QStringList(pendingDirs.cbegin(), pendingDirs.cend()));
    pendingDirs.clear();
}

} // namespace kvr::ui::library
