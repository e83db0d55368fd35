// Media files laid out for the library's scans: fixtures copied into folders, with times set back so the
// scanner does not take them for files still being copied in.
#pragma once

#include "tests/support/TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <sys/time.h>

namespace kvr::test::library {

inline QString fixturePath(const char* name)
{
    return QString::fromStdString(kvr::test::fixture(name).string());
}

// Modification time `secondsBack` in the past.
inline bool setAge(const QString& path, qint64 secondsBack)
{
    const timeval back { static_cast<time_t>(QDateTime::currentSecsSinceEpoch() - secondsBack), 0 };
    const timeval times[2] { back, back };
    return utimes(QFile::encodeName(path).constData(), times) == 0;
}

// A minute back: well past the time a file counts as still being copied.
inline bool settle(const QString& path)
{
    return setAge(path, 60);
}

// A copy of a fixture at `target` (folders made as needed), settled.
inline bool place(const char* name, const QString& target)
{
    QDir().mkpath(QFileInfo(target).absolutePath());
    return QFile::copy(fixturePath(name), target) && settle(target);
}

// Runs ffmpeg with the segment muxer into `dir`: many small files of distinct content. True on success.
inline bool segment(const QString& dir, const QStringList& input, const QString& pattern, int timeoutMs = 300000)
{
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ffmpeg.start(QStringLiteral("ffmpeg"),
        QStringList { "-hide_banner", "-loglevel", "error", "-y" } + input
            + QStringList { "-f", "segment", "-reset_timestamps", "1", dir + "/" + pattern });
    return ffmpeg.waitForFinished(timeoutMs) && ffmpeg.exitStatus() == QProcess::NormalExit && ffmpeg.exitCode() == 0;
}

} // namespace kvr::test::library
