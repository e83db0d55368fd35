// Media files for the library benchmarks: many short files made by ffmpeg in one go, spread over 100
// folders, a minute old (so that no pass waits for them to settle).
#pragma once

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <sys/time.h>

namespace kvr::bench {

inline bool segment(const QString& dir, const QStringList& input, const QString& pattern)
{
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ffmpeg.start(QStringLiteral("ffmpeg"),
        QStringList { "-hide_banner", "-loglevel", "error", "-y" } + input
            + QStringList { "-f", "segment", "-reset_timestamps", "1", dir + "/" + pattern });
    return ffmpeg.waitForFinished(-1) && ffmpeg.exitStatus() == QProcess::NormalExit && ffmpeg.exitCode() == 0;
}

// An ID3v2.3 tag holding one front cover (a 300x300 JPEG), as taggers write it in front of an MP3's frames.
inline QByteArray coverTag()
{
    QImage image(300, 300, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(image.rect(), QColor(30, 90, 160));
    painter.fillRect(40, 40, 220, 220, QColor(240, 180, 40));
    painter.end();
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 85);

    QByteArray frame;
    frame.append('\0'); // ISO-8859-1 texts
    frame.append("image/jpeg");
    frame.append('\0');
    frame.append('\3'); // front cover
    frame.append('\0'); // no description
    frame.append(jpeg);
    const auto bigEndian = [](quint32 v) {
        const char bytes[4] { char(v >> 24), char(v >> 16), char(v >> 8), char(v) };
        return QByteArray(bytes, 4);
    };
    QByteArray frames = "APIC" + bigEndian(quint32(frame.size())) + QByteArray(2, '\0') + frame;
    const quint32 size = quint32(frames.size());
    // The tag's own size is written 7 bits to a byte.
    const char syncSafe[4] { char((size >> 21) & 0x7f), char((size >> 14) & 0x7f), char((size >> 7) & 0x7f),
        char(size & 0x7f) };
    return QByteArray("ID3\3\0\0", 6) + QByteArray(syncSafe, 4) + frames;
}

// Moves the staged files into 100 folders below root/media, a minute old; empty on failure.
inline QStringList spread(const QString& staging, const QStringList& names, const QString& root)
{
    const timeval aMinuteBack { static_cast<time_t>(QDateTime::currentSecsSinceEpoch() - 60), 0 };
    const timeval times[2] { aMinuteBack, aMinuteBack };
    QStringList files;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString folder = QStringLiteral("%1/media/%2").arg(root).arg(i % 100, 3, 10, QLatin1Char('0'));
        QDir().mkpath(folder);
        const QString target = folder + "/" + names[i];
        if (!QFile::rename(staging + "/" + names[i], target) || utimes(QFile::encodeName(target), times) != 0)
            return {};
        files << target;
    }
    return files;
}

// count short MP3 files of noise (0.2 s, 8 kHz), with an embedded cover when asked; empty on failure.
inline QStringList makeAudio(const QString& root, int count, bool covers)
{
    const QString staging = root + "/staging";
    QDir().mkpath(staging);
    // An MP3 segment of 0.2 s at 8 kHz holds 0.216 s of frames: 20% more noise than needed is plenty. No ID3
    // tag of ffmpeg's own, so that a cover tag can stand first.
    if (!segment(staging,
            { "-f", "lavfi", "-i", QStringLiteral("anoisesrc=d=%1:r=8000:a=0.5").arg(count * 0.24 + 2), "-ac", "1",
                "-c:a", "libmp3lame", "-b:a", "16k", "-id3v2_version", "0", "-segment_time", "0.2" },
            "a%06d.mp3"))
        return {};
    const QStringList names = QDir(staging).entryList({ "a*.mp3" }, QDir::Files, QDir::Name).mid(0, count);
    if (names.size() != count)
        return {};
    if (covers) {
        const QByteArray tag = coverTag();
        for (const QString& name : names) {
            QFile file(staging + "/" + name);
            if (!file.open(QIODevice::ReadWrite))
                return {};
            const QByteArray audio = file.readAll();
            file.seek(0);
            if (file.write(tag + audio) != tag.size() + audio.size())
                return {};
        }
    }
    const QStringList files = spread(staging, names, root);
    QDir(staging).removeRecursively();
    return files;
}

// count short MKV files with an MPEG-4 video track (0.5 s, 160x90); empty on failure.
inline QStringList makeVideo(const QString& root, int count)
{
    const QString staging = root + "/staging";
    QDir().mkpath(staging);
    if (!segment(staging,
            { "-f", "lavfi", "-i", QStringLiteral("testsrc2=s=160x90:r=10:d=%1").arg(count * 0.5 + 1), "-c:v", "mpeg4",
                "-g", "5", "-segment_time", "0.5" },
            "v%06d.mkv"))
        return {};
    const QStringList names = QDir(staging).entryList({ "v*.mkv" }, QDir::Files, QDir::Name).mid(0, count);
    if (names.size() != count)
        return {};
    const QStringList files = spread(staging, names, root);
    QDir(staging).removeRecursively();
    return files;
}

} // namespace kvr::bench
