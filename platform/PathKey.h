#pragma once

#include <QDir>
#include <QString>

namespace kvr::platform {

// The key by which paths are compared for "same file" and "inside folder": the cleaned path with one "/" at
// the end, letter case kept (Linux names are case-sensitive: "A.mp3" and "a.mp3" are two files). With the
// closing "/", "folder/x" lies inside "folder" while "folder2/x" does not.
inline QString pathKey(const QString& path)
{
    QString key = QDir::cleanPath(path);
    if (!key.endsWith(QLatin1Char('/')))
        key += QLatin1Char('/');
    return key;
}

} // namespace kvr::platform
