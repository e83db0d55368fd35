#include "ui/library/LibraryScanner.h"

#include <QDir>
#include <QRegularExpression>
#include <QSet>

#include <cmath>
#include <string_view>

namespace kvr::ui::library {

namespace {

bool sameKeyIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// Tags that feed a field (or say nothing worth keeping); every other tag goes into `extra`.
const QSet<QString>& knownTagKeys()
{
    static const QSet<QString> keys { "title", "artist", "performer", "album_artist", "albumartist", "album", "genre",
        "composer", "comment", "description", "lyrics", "date", "year", "track", "tracknumber", "disc", "discnumber",
        "encoder", "creation_time", "major_brand", "minor_version", "compatible_brands", "show", "season_number",
        "episode_sort", "episode_id", "synopsis", "director" };
    return keys;
}

// The gain in dB: the first word of the tag as a number, 0 when it is none.
double replayGain(const QString& text)
{
    if (text.isEmpty())
        return std::numeric_limits<double>::quiet_NaN();
    const double value = text.split(QLatin1Char(' ')).first().toDouble();
    // "inf" and "nan" parse, but a gain of either would wreck the volume.
    return std::isfinite(value) ? value : 0.0;
}

int capturedInt(const QRegularExpressionMatch& match, int group)
{
    bool ok = false;
    const int value = match.captured(group).toInt(&ok);
    return ok ? value : 0;
}

// The names of the file's folder and of the one above it, as they are.
QString folderName(const QFileInfo& file)
{
    return QDir(file.absolutePath()).dirName();
}
QString parentFolderName(const QFileInfo& file)
{
    return QFileInfo(file.absolutePath()).dir().dirName();
}

void parseVideoName(const QFileInfo& file, LibraryScanner::Metadata& meta)
{
    static const QRegularExpression episodePattern(
        QStringLiteral(R"(^(.*?)[ ._-]+[Ss](\d{1,2})[ ._-]?[Ee](\d{1,3})(?:[ ._-]+(.*))?$)"));
    static const QRegularExpression crossPattern(
        QStringLiteral(R"(^(.*?)[ ._-]+(\d{1,2})x(\d{2,3})(?:[ ._-]+(.*))?$)"));
    static const QRegularExpression seasonFolderPattern(
        QStringLiteral(R"(^(?:season|series|staffel|saison)\s*(\d+)$)"), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression moviePattern(
        QStringLiteral(R"(^(.*?)[ ._]*[\(\[]?((?:19|20)\d{2})[\)\]]?(?:[ ._].*)?$)"));

    const QString base = file.completeBaseName();

    QRegularExpressionMatch match = episodePattern.match(base);
    if (!match.hasMatch())
        match = crossPattern.match(base);
    if (match.hasMatch()) {
        if (meta.show.isEmpty())
            meta.show = LibraryScanner::cleanName(match.captured(1));
        if (meta.season == 0)
            meta.season = capturedInt(match, 2);
        if (meta.episode == 0)
            meta.episode = capturedInt(match, 3);
        if (meta.title.isEmpty()) {
            const QString episodeTitle = LibraryScanner::cleanName(match.captured(4));
            meta.title = episodeTitle.isEmpty() ? QStringLiteral("Episode %1").arg(meta.episode) : episodeTitle;
        }
        meta.category = QStringLiteral("episode");
        meta.lowConfidence = true;
        return;
    }

    match = seasonFolderPattern.match(folderName(file));
    if (match.hasMatch()) {
        if (meta.show.isEmpty())
            meta.show = LibraryScanner::cleanName(parentFolderName(file));
        if (meta.season == 0)
            meta.season = capturedInt(match, 1);
        if (meta.episode == 0)
            meta.episode = LibraryScanner::leadingNumber(base);
        if (meta.title.isEmpty())
            meta.title = LibraryScanner::cleanName(base);
        meta.category = QStringLiteral("episode");
        meta.lowConfidence = true;
        return;
    }

    match = moviePattern.match(base);
    if (match.hasMatch() && !match.captured(1).isEmpty()) {
        if (meta.title.isEmpty())
            meta.title = LibraryScanner::cleanName(match.captured(1));
        if (meta.year == 0)
            meta.year = capturedInt(match, 2);
        meta.category = QStringLiteral("movie");
        meta.lowConfidence = true;
        return;
    }

    if (meta.title.isEmpty()) {
        meta.title = LibraryScanner::cleanName(base);
        meta.lowConfidence = true;
    }
}

void parseAudioName(const QFileInfo& file, LibraryScanner::Metadata& meta)
{
    const QString base = file.completeBaseName();
    const QStringList parts = base.split(QStringLiteral(" - "));
    if (parts.size() >= 4) {
        // artist - album - track - title (which may itself hold " - ")
        if (meta.artist.isEmpty())
            meta.artist = parts[0].trimmed();
        if (meta.album.isEmpty())
            meta.album = parts[1].trimmed();
        if (meta.trackNumber == 0)
            meta.trackNumber = LibraryScanner::leadingNumber(parts[2]);
        if (meta.title.isEmpty())
            meta.title = parts.mid(3).join(QStringLiteral(" - ")).trimmed();
    } else if (parts.size() == 2) {
        const int track = LibraryScanner::leadingNumber(parts[0]);
        if (track > 0 && parts[0].trimmed().size() <= 3) {
            // track - title, inside <artist>/<album>/
            if (meta.trackNumber == 0)
                meta.trackNumber = track;
            if (meta.title.isEmpty())
                meta.title = parts[1].trimmed();
            if (meta.album.isEmpty())
                meta.album = folderName(file);
            if (meta.artist.isEmpty())
                meta.artist = parentFolderName(file);
        } else {
            if (meta.artist.isEmpty())
                meta.artist = parts[0].trimmed();
            if (meta.title.isEmpty())
                meta.title = parts[1].trimmed();
        }
    } else if (meta.title.isEmpty()) {
        meta.title = base;
    }
    meta.lowConfidence = true;
}

} // namespace

QString LibraryScanner::firstTag(const engine::MediaInfo& info, const QStringList& keys)
{
    for (const QString& key : keys) {
        const QByteArray wanted = key.toUtf8();
        const std::string_view wantedView(wanted.constData(), size_t(wanted.size()));
        for (const engine::MediaTag& tag : info.tags) {
            if (!sameKeyIgnoringCase(tag.key, wantedView))
                continue;
            // Only the first tag of a key counts; a blank one ends the search with an empty text.
            if (!tag.value.empty())
                return QString::fromUtf8(tag.value.data(), qsizetype(tag.value.size())).trimmed();
            break;
        }
    }
    return QString();
}

int LibraryScanner::leadingNumber(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral(R"(^\s*(\d+))"));
    const QRegularExpressionMatch match = pattern.match(text);
    return match.hasMatch() ? capturedInt(match, 1) : 0;
}

int LibraryScanner::totalAfterSlash(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral(R"(/\s*(\d+))"));
    const QRegularExpressionMatch match = pattern.match(text);
    return match.hasMatch() ? capturedInt(match, 1) : 0;
}

QString LibraryScanner::cleanName(const QString& text)
{
    QString cleaned = text;
    cleaned.replace(QLatin1Char('.'), QLatin1Char(' ')).replace(QLatin1Char('_'), QLatin1Char(' '));
    return cleaned.simplified();
}

LibraryScanner::Metadata LibraryScanner::readTags(const QFileInfo& file, const engine::MediaInfo& info, bool isVideo)
{
    auto tag = [&info](std::initializer_list<QString> keys) { return firstTag(info, QStringList(keys)); };

    Metadata meta;
    meta.title = tag({ "title" });
    meta.artist = tag({ "artist", "performer" });
    meta.albumArtist = tag({ "album_artist", "albumartist", "album artist" });
    meta.album = tag({ "album" });
    meta.genre = tag({ "genre" });
    meta.composer = tag({ "composer" });
    meta.comment = tag({ "comment", "description" });
    meta.lyrics = tag({ "lyrics", "unsyncedlyrics" });
    meta.show = tag({ "show", "tvshow", "grouping" });
    meta.director = tag({ "director" });
    meta.description = tag({ "synopsis", "description", "comment" });
    meta.year = leadingNumber(tag({ "date", "year", "originaldate", "creation_time" }));

    const QString track = tag({ "track", "tracknumber" });
    meta.trackNumber = leadingNumber(track);
    meta.trackTotal = totalAfterSlash(track);
    if (meta.trackTotal == 0)
        meta.trackTotal = leadingNumber(tag({ "tracktotal", "totaltracks" }));

    const QString disc = tag({ "disc", "discnumber" });
    meta.discNumber = leadingNumber(disc);
    meta.discTotal = totalAfterSlash(disc);
    if (meta.discTotal == 0)
        meta.discTotal = leadingNumber(tag({ "disctotal", "totaldiscs" }));

    meta.bpm = leadingNumber(tag({ "bpm", "TBPM" }));
    meta.compilation = tag({ "compilation", "TCMP" }) == QLatin1String("1");
    meta.rgTrack = replayGain(tag({ "REPLAYGAIN_TRACK_GAIN" }));
    meta.rgAlbum = replayGain(tag({ "REPLAYGAIN_ALBUM_GAIN" }));
    meta.season = leadingNumber(tag({ "season_number", "season" }));
    meta.episode = leadingNumber(tag({ "episode_sort", "episode_id", "episode" }));

    if (meta.year < 1000 || meta.year > 3000)
        meta.year = 0;

    for (const engine::MediaTag& t : info.tags) {
        const QString key = QString::fromUtf8(t.key.data(), qsizetype(t.key.size()));
        if (!knownTagKeys().contains(key.toLower()))
            meta.extra.insert(key, QString::fromUtf8(t.value.data(), qsizetype(t.value.size())));
    }

    if (isVideo) {
        if (!meta.show.isEmpty() && (meta.season != 0 || meta.episode != 0))
            meta.category = QStringLiteral("episode");
        if (meta.title.isEmpty() || meta.category.isEmpty())
            parseFileName(file, true, meta);
        if (meta.category.isEmpty())
            meta.category = info.durationUs > 2'400'000'000LL ? QStringLiteral("movie") : QStringLiteral("other");
    } else if (meta.title.isEmpty() || meta.artist.isEmpty()) {
        parseFileName(file, false, meta);
    }
    if (meta.albumArtist.isEmpty() && meta.compilation)
        meta.albumArtist = QStringLiteral("Various Artists");
    return meta;
}

void LibraryScanner::parseFileName(const QFileInfo& file, bool isVideo, Metadata& meta)
{
    if (isVideo)
        parseVideoName(file, meta);
    else
        parseAudioName(file, meta);
}

} // namespace kvr::ui::library
