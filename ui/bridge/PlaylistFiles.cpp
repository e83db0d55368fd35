#include "ui/bridge/PlaylistFiles.h"

#include "engine/Logging.h"

#include <QCollator>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QStringDecoder>
#include <QUrl>

#include <algorithm>
#include <numeric>
#include <optional>
#include <vector>

namespace kvr::ui {
namespace {

bool isSchemeStart(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isSchemeChar(QChar c)
{
    return isSchemeStart(c) || (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.';
}

const QSet<QString>& extensionSet()
{
    static const QSet<QString> set(supportedExtensions().cbegin(), supportedExtensions().cend());
    return set;
}

QString cleanNative(const QString& path)
{
    return QDir::toNativeSeparators(QDir::cleanPath(path));
}

// One playlist line made an entry; relative paths (plain or "file:") belong to the playlist's folder, not to
// whatever the current directory happens to be.
QString resolvePlaylistEntry(const QString& line, const QDir& base)
{
    if (line.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        const QUrl url(line, QUrl::TolerantMode);
        if (url.isLocalFile()) {
            const QString local = url.toLocalFile();
            return local.isEmpty() ? QString() : cleanNative(base.absoluteFilePath(local));
        }
        return normalizeEntryPath(line);
    }
    if (isNetworkUrl(line))
        return line;
    return cleanNative(base.absoluteFilePath(line));
}

bool hasLineBreak(const QString& text)
{
    return text.contains(u'\n') || text.contains(u'\r');
}

QString withoutLineBreaks(QString text)
{
    static const QRegularExpression breaks(QStringLiteral("[\r\n]+"));
    return text.replace(breaks, QStringLiteral(" "));
}

// The line that reads back as this entry. A plain local path does unless the reader would trim, skip or
// split it; those are written as percent-encoded file URLs. A line break inside an address would start a new
// entry, so it is percent-encoded in place.
QString entryLine(const QString& entry)
{
    if (isNetworkUrl(entry)) {
        QString line = entry;
        return line.replace(u'\r', QLatin1String("%0D")).replace(u'\n', QLatin1String("%0A"));
    }
    const bool plain = !hasLineBreak(entry) && entry == entry.trimmed() && !entry.startsWith(u'#')
        && !entry.startsWith(QLatin1String("file:"), Qt::CaseInsensitive);
    if (plain)
        return entry;
    return QUrl::fromLocalFile(QFileInfo(QDir::fromNativeSeparators(entry)).absoluteFilePath())
        .toString(QUrl::FullyEncoded);
}

// UTF-8 unless a UTF-16 byte-order mark says otherwise; the mark itself is no part of the first line.
// UTF-16 written without a byte-order mark, told by its NULs: in the first lines of a playlist (paths, URLs,
// comments) nearly every character is below U+0100, so one byte of each pair is zero and the other is not.
// Text in UTF-8 has no NUL at all, and a file of NULs alone has them on both sides. Nothing when neither fits.
std::optional<QStringConverter::Encoding> unmarkedUtf16(const QByteArray& data)
{
    const qsizetype pairs = std::min<qsizetype>(data.size(), 512) / 2;
    if (pairs < 1)
        return std::nullopt;
    qsizetype zeroEven = 0;
    qsizetype zeroOdd = 0;
    for (qsizetype i = 0; i < pairs; ++i) {
        zeroEven += data[2 * i] == '\0';
        zeroOdd += data[2 * i + 1] == '\0';
    }
    // At least three pairs in four with the zero on one side, and at most one in eight with it on the other.
    auto pattern = [pairs](qsizetype zeros, qsizetype others) { return zeros * 4 >= pairs * 3 && others * 8 <= pairs; };
    if (pattern(zeroOdd, zeroEven))
        return QStringConverter::Utf16LE;
    if (pattern(zeroEven, zeroOdd))
        return QStringConverter::Utf16BE;
    return std::nullopt;
}

QString decodePlaylistText(const QByteArray& data)
{
    QStringConverter::Encoding encoding = QStringConverter::Utf8;
    if (data.startsWith("\xff\xfe"))
        encoding = QStringConverter::Utf16LE;
    else if (data.startsWith("\xfe\xff"))
        encoding = QStringConverter::Utf16BE;
    else if (const auto utf16 = unmarkedUtf16(data))
        encoding = *utf16;
    QStringDecoder decode(encoding);
    QString text = decode(data);
    if (text.startsWith(QChar(0xfeff)))
        text.remove(0, 1);
    return text;
}

QString entryTitle(const QString& entry)
{
    const QString title = isNetworkUrl(entry) ? entry : QFileInfo(entry).completeBaseName();
    return withoutLineBreaks(title);
}

} // namespace

const QStringList& supportedExtensions()
{
    static const QStringList list {
        QStringLiteral("mp4"),
        QStringLiteral("m4v"),
        QStringLiteral("mkv"),
        QStringLiteral("webm"),
        QStringLiteral("mov"),
        QStringLiteral("avi"),
        QStringLiteral("wmv"),
        QStringLiteral("flv"),
        QStringLiteral("mpg"),
        QStringLiteral("mpeg"),
        QStringLiteral("m2ts"),
        QStringLiteral("mts"),
        QStringLiteral("ts"),
        QStringLiteral("vob"),
        QStringLiteral("ogv"),
        QStringLiteral("3gp"),
        QStringLiteral("3g2"),
        QStringLiteral("asf"),
        QStringLiteral("divx"),
        QStringLiteral("f4v"),
        QStringLiteral("rm"),
        QStringLiteral("rmvb"),
        QStringLiteral("mxf"),
        QStringLiteral("y4m"),
        QStringLiteral("mp3"),
        QStringLiteral("flac"),
        QStringLiteral("wav"),
        QStringLiteral("m4a"),
        QStringLiteral("aac"),
        QStringLiteral("ogg"),
        QStringLiteral("oga"),
        QStringLiteral("opus"),
        QStringLiteral("wma"),
        QStringLiteral("alac"),
        QStringLiteral("aiff"),
        QStringLiteral("aif"),
        QStringLiteral("ape"),
        QStringLiteral("wv"),
        QStringLiteral("mka"),
        QStringLiteral("ac3"),
        QStringLiteral("eac3"),
        QStringLiteral("dts"),
        QStringLiteral("amr"),
        QStringLiteral("mid"),
        QStringLiteral("mpc"),
        QStringLiteral("tta"),
    };
    return list;
}

const QStringList& streamSchemes()
{
    static const QStringList list {
        QStringLiteral("http"),
        QStringLiteral("https"),
        QStringLiteral("rtsp"),
        QStringLiteral("rtsps"),
        QStringLiteral("rtmp"),
        QStringLiteral("rtmps"),
        QStringLiteral("mms"),
        QStringLiteral("mmsh"),
        QStringLiteral("udp"),
        QStringLiteral("rtp"),
        QStringLiteral("srt"),
        QStringLiteral("ftp"),
        QStringLiteral("sftp"),
    };
    return list;
}

bool isNetworkUrl(const QString& text)
{
    // "/music/a://b.mp3" and "./a://b" are legal file names here: only a real scheme may precede "://".
    if (text.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
        return false;
    const qsizetype separator = text.indexOf(QLatin1String("://"));
    if (separator < 2 || !isSchemeStart(text.front()))
        return false;
    return std::all_of(text.cbegin() + 1, text.cbegin() + separator, isSchemeChar);
}

bool isAllowedStreamUrl(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (!isNetworkUrl(trimmed))
        return false;
    const QUrl url(trimmed, QUrl::TolerantMode);
    return url.isValid() && streamSchemes().contains(url.scheme().toLower());
}

bool isAllowedEntry(const QString& entry)
{
    if (isNetworkUrl(entry))
        return isAllowedStreamUrl(entry);
    // A relative "entry" such as "pipe:0" or "concat:a|b" would be taken by the demuxer as a protocol.
    return QDir::isAbsolutePath(entry);
}

QString normalizeEntryPath(const QString& text)
{
    QString t = text.trimmed();
    if (t.size() > 1 && t.startsWith(u'"') && t.endsWith(u'"'))
        t = t.mid(1, t.size() - 2);
    if (t.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        const QUrl url(t, QUrl::TolerantMode);
        if (url.isLocalFile()) {
            // "file:a.mp3" names a relative file; an entry must not depend on the current directory later.
            const QString local = url.toLocalFile();
            return local.isEmpty() ? QString() : cleanNative(QFileInfo(local).absoluteFilePath());
        }
    }
    if (isNetworkUrl(t) || t.isEmpty())
        return t;
    return cleanNative(QFileInfo(t).absoluteFilePath());
}

QString toLocalPath(const QString& text)
{
    const QUrl url(text, QUrl::TolerantMode);
    if (url.isLocalFile())
        return QDir::toNativeSeparators(url.toLocalFile());
    return normalizeEntryPath(text);
}

bool isPlaylistFile(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("m3u") || suffix == QLatin1String("m3u8") || suffix == QLatin1String("pls");
}

QStringList readPlaylistFile(const QString& path)
{
    const QFileInfo info(path);
    // Only regular files: opening a FIFO named "x.m3u" would block the caller for good.
    if (!info.isFile())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString text = decodePlaylistText(file.readAll());

    const bool pls = info.suffix().compare(QLatin1String("pls"), Qt::CaseInsensitive) == 0;
    const QDir base(info.absolutePath());
    static const QRegularExpression lineEnds(QStringLiteral("[\r\n]"));
    QStringList entries;
    int nulLines = 0;
    for (const QString& raw : text.split(lineEnds, Qt::SkipEmptyParts)) {
        // Nothing can open a name with a NUL in it; such a line is damage, not an entry.
        if (raw.contains(QChar(0))) {
            ++nulLines;
            continue;
        }
        QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        if (pls) {
            const qsizetype equals = line.indexOf(u'=');
            if (!line.startsWith(QLatin1String("File"), Qt::CaseInsensitive) || equals < 0)
                continue;
            line = line.mid(equals + 1).trimmed();
            if (line.isEmpty())
                continue;
        } else if (line.startsWith(u'#')) {
            continue;
        }
        const QString entry = resolvePlaylistEntry(line, base);
        if (!entry.isEmpty())
            entries.append(entry);
    }
    if (nulLines > 0) {
        kvr::engine::logWarning(
            "PlaylistFiles: {}: left out {} line(s) holding a NUL byte", path.toStdString(), nulLines);
    }
    return entries;
}

QStringList findMediaFiles(const QString& folder, int limit, int* visited)
{
    QStringList found;
    int seen = 0;
    // Symbolic links to folders are not followed: a link back up the tree would never end.
    QDirIterator it(folder, QDir::Files | QDir::Readable | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (found.size() < limit && it.hasNext()) {
        const QString path = it.next();
        ++seen;
        if (extensionSet().contains(it.fileInfo().suffix().toLower()))
            found.append(QDir::toNativeSeparators(path));
    }
    if (visited)
        *visited = seen;
    return found;
}

void sortNaturally(QStringList& paths)
{
    // Under the C locale the collator ignores numeric mode ("track10" before "track2").
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);

    std::vector<QCollatorSortKey> keys;
    keys.reserve(paths.size());
    for (const QString& p : paths)
        keys.push_back(collator.sortKey(p));
    std::vector<qsizetype> order(paths.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
        const int c = keys[a].compare(keys[b]);
        // Names equal but for case still get one fixed order.
        return c != 0 ? c < 0 : paths[a] < paths[b];
    });
    QStringList sorted;
    sorted.reserve(paths.size());
    for (qsizetype i : order)
        sorted.append(paths[i]);
    paths = std::move(sorted);
}

QStringList expandEntry(const QString& path, QStringList* refused)
{
    if (path.isEmpty())
        return {};
    QStringList entries;
    if (isNetworkUrl(path)) {
        entries.append(path);
    } else if (QFileInfo(path).isDir()) {
        entries = findMediaFiles(path, folderListingLimit);
        sortNaturally(entries);
    } else if (isPlaylistFile(path)) {
        entries = readPlaylistFile(path);
    } else {
        entries.append(path);
    }
    QStringList allowed;
    allowed.reserve(entries.size());
    for (QString& e : entries) {
        if (isAllowedEntry(e))
            allowed.append(std::move(e));
        else if (refused)
            refused->append(std::move(e));
    }
    return allowed;
}

bool writePlaylistFile(const QString& path, const QStringList& entries)
{
    if (path.isEmpty())
        return false;
    QString target = path;
    if (QFileInfo(target).suffix().isEmpty())
        target += QLatin1String(".m3u8");

    // UTF-8 without byte-order mark and LF line ends, whatever the platform's text mode would do.
    QByteArray data("#EXTM3U\n");
    for (const QString& entry : entries) {
        data += "#EXTINF:-1,";
        data += entryTitle(entry).toUtf8();
        data += '\n';
        data += entryLine(entry).toUtf8();
        data += '\n';
    }

    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace kvr::ui
