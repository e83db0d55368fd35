#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

namespace kvr::qml {

// File URLs and local paths for QML, which can only paste strings together: a name holding "#", "?" or "%"
// pasted into a URL string is cut at a fragment or query, or decoded. Everything here goes through
// QUrl::fromLocalFile and QUrl::toLocalFile. The module offers one instance as the singleton "FileUrls".
class FileUrls : public QObject {
    Q_OBJECT

public:
    explicit FileUrls(QObject* parent = nullptr);

    // The local path of a file URL (or of the scheme-less URL Qt Quick's own file dialog makes of a typed
    // absolute path); empty for a URL that names no local file.
    Q_INVOKABLE QString localPath(const QUrl& url) const;

    // The file URL of name inside the folder folderUrl, the name taken exactly as given (a "/" in it stays a
    // path separator).
    Q_INVOKABLE QUrl fileUrl(const QUrl& folderUrl, const QString& name) const;

    // Whether something exists at the local path of url.
    Q_INVOKABLE bool exists(const QUrl& url) const;

    // The file URL of the folder that holds the local file path; empty unless that folder exists as a
    // directory, so a path through a file ("tool.sh/x.mkv") never hands that file to the desktop.
    Q_INVOKABLE QUrl folderUrl(const QString& path) const;

    // Where a file dialog starts: the Documents folder when it exists, else the home folder. Never the
    // working folder, which is wherever the program happened to be started from.
    Q_INVOKABLE QUrl startFolder() const;
    Q_INVOKABLE QUrl homeFolder() const;

    // The file URL of a local path as typed (no escapes to undo: "#", "?" and "%" are part of the name).
    Q_INVOKABLE QUrl fromLocalPath(const QString& path) const;

    // Whether url names an existing local folder.
    Q_INVOKABLE bool isFolder(const QUrl& url) const;
};

} // namespace kvr::qml
