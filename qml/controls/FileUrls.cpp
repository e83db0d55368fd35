#include "qml/controls/FileUrls.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace kvr::qml {

FileUrls::FileUrls(QObject* parent)
    : QObject(parent)
{
}

QString FileUrls::localPath(const QUrl& url) const
{
    if (url.isLocalFile())
        return url.toLocalFile();
    // Qt Quick's own file dialog hands a typed name back as a URL without a scheme, parsed from the path's
    // text: a "?" in the name started a query, a "#" a fragment. Put together again, the text is the path.
    if (!url.scheme().isEmpty() || !url.host().isEmpty())
        return {};
    QString text = url.path(QUrl::FullyDecoded);
    if (url.hasQuery())
        text += QLatin1Char('?') + url.query(QUrl::FullyDecoded);
    if (url.hasFragment())
        text += QLatin1Char('#') + url.fragment(QUrl::FullyDecoded);
    return text.startsWith(QLatin1Char('/')) ? text : QString();
}

QUrl FileUrls::fileUrl(const QUrl& folderUrl, const QString& name) const
{
    QString path = folderUrl.toLocalFile();
    // The root folder, or a folder URL written with a trailing slash, already ends in one.
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return QUrl::fromLocalFile(path + name);
}

bool FileUrls::exists(const QUrl& url) const
{
    const QString path = url.toLocalFile();
    return !path.isEmpty() && QFileInfo::exists(path);
}

QUrl FileUrls::folderUrl(const QString& path) const
{
    if (path.isEmpty())
        return {};
    const QString folder = QFileInfo(path).absolutePath();
    return QFileInfo(folder).isDir() ? QUrl::fromLocalFile(folder) : QUrl();
}

QUrl FileUrls::startFolder() const
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir())
        return QUrl::fromLocalFile(documents);
    return homeFolder();
}

QUrl FileUrls::homeFolder() const
{
    return QUrl::fromLocalFile(QDir::homePath());
}

QUrl FileUrls::fromLocalPath(const QString& path) const
{
    return path.isEmpty() ? QUrl() : QUrl::fromLocalFile(QDir::cleanPath(path));
}

bool FileUrls::isFolder(const QUrl& url) const
{
    const QString path = url.toLocalFile();
    return !path.isEmpty() && QFileInfo(path).isDir();
}

} // namespace kvr::qml
