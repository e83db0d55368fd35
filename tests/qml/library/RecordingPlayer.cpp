#include "tests/qml/library/RecordingPlayer.h"

#include <QDir>
#include <QUrl>
#include <QVariantMap>

#include <algorithm>

namespace kvr::test {

QStringList RecordingPlayer::normalised(const QStringList& paths)
{
    QStringList entries;
    for (const QString& path : paths) {
        if (path.isEmpty())
            continue;
        entries << (path.startsWith(QLatin1String("file:")) ? QDir::toNativeSeparators(QUrl(path).toLocalFile())
                                                            : path);
    }
    return entries;
}

void RecordingPlayer::record(const QVariantMap& call)
{
    calls_ << call;
    emit callsChanged();
}

void RecordingPlayer::playPaths(const QStringList& paths, int index, bool shuffle)
{
    record({ { QStringLiteral("method"), QStringLiteral("playPaths") }, { QStringLiteral("paths"), paths },
        { QStringLiteral("index"), index }, { QStringLiteral("shuffle"), shuffle } });
    const QStringList entries = normalised(paths);
    if (entries.isEmpty())
        return;
    playlist_ = entries;
    current_ = std::clamp(index, 0, int(entries.size()) - 1);
    emit playlistChanged();
}

void RecordingPlayer::playPathsNext(const QStringList& paths)
{
    record({ { QStringLiteral("method"), QStringLiteral("playPathsNext") }, { QStringLiteral("paths"), paths } });
    const QStringList entries = normalised(paths);
    if (entries.isEmpty())
        return;
    if (current_ < 0) {
        current_ = int(playlist_.size());
        playlist_ << entries;
    } else {
        for (int i = 0; i < entries.size(); ++i)
            playlist_.insert(current_ + 1 + i, entries.at(i));
    }
    emit playlistChanged();
}

void RecordingPlayer::enqueuePaths(const QStringList& paths)
{
    record({ { QStringLiteral("method"), QStringLiteral("enqueuePaths") }, { QStringLiteral("paths"), paths } });
    const QStringList entries = normalised(paths);
    if (entries.isEmpty())
        return;
    if (current_ < 0)
        current_ = int(playlist_.size());
    playlist_ << entries;
    emit playlistChanged();
}

void RecordingPlayer::setQueue(const QStringList& entries)
{
    playlist_ = normalised(entries);
    current_ = playlist_.isEmpty() ? -1 : 0;
    emit playlistChanged();
}

void RecordingPlayer::clearCalls()
{
    calls_.clear();
    emit callsChanged();
}

} // namespace kvr::test
