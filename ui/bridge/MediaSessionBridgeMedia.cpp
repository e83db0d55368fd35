// The bridge's media facet: tracks, subtitles, chapters and media information.
#include "ui/bridge/MediaSessionBridge.h"

#include "engine/MediaSession.h"
#include "ui/AddressText.h"
#include "ui/bridge/PlaylistFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <filesystem>
#include <mutex>
#include <string>

namespace kvr::ui {

using kvr::engine::MediaInfo;
using kvr::engine::TrackInfo;

namespace {

constexpr int kindVideo = 0;
constexpr int kindAudio = 1;
constexpr int kindSubtitle = 2;
// Within this much of a chapter's start, "previous" goes to the chapter before instead of restarting it.
constexpr qlonglong previousChapterGraceUs = 3'000'000;

QString fromUtf8(const std::string& text)
{
    return QString::fromStdString(text);
}

// The locale database's name for a language code of any ISO 639 form; the code itself when it names none.
QString languageName(const std::string& code)
{
    const QString text = fromUtf8(code);
    if (text.isEmpty())
        return {};
    const QLocale::Language language = QLocale::codeToLanguage(text.toLower());
    if (language == QLocale::AnyLanguage || language == QLocale::C)
        return text;
    return QLocale::languageToString(language);
}

QString trackLabel(const TrackInfo& track, int number)
{
    const QString title = fromUtf8(track.title);
    const QString language = languageName(track.language);
    QStringList parts;
    if (!title.isEmpty())
        parts << title;
    if (!language.isEmpty() && !title.contains(language, Qt::CaseInsensitive))
        parts << language;
    if (parts.isEmpty())
        parts << MediaSessionBridge::tr("Track %1").arg(number);

    const QString codec = fromUtf8(track.codec);
    QStringList extras;
    if (track.kind == kindAudio) {
        if (!codec.isEmpty())
            extras << codec;
        const QString channels = MediaSessionBridge::channelText(track.channels);
        if (!channels.isEmpty())
            extras << channels;
    } else {
        if (track.external)
            extras << MediaSessionBridge::tr("external");
        else if (!codec.isEmpty())
            extras << codec;
        if (track.forced)
            extras << MediaSessionBridge::tr("forced");
    }

    QString label = parts.join(QStringLiteral(" \u00B7 "));
    if (!extras.isEmpty())
        label += QStringLiteral("  (%1)").arg(extras.join(QStringLiteral(", ")));
    return label;
}

QVariantMap trackMap(const TrackInfo& track, int number)
{
    return {
        { QStringLiteral("id"), track.streamIndex },
        { QStringLiteral("label"), trackLabel(track, number) },
        { QStringLiteral("language"), fromUtf8(track.language) },
        { QStringLiteral("external"), track.external },
        { QStringLiteral("path"), fromUtf8(track.externalPath) },
        { QStringLiteral("bitmap"), track.bitmap },
        { QStringLiteral("default"), track.isDefault },
        { QStringLiteral("codec"), fromUtf8(track.codec) },
    };
}

bool equalsIgnoringAsciiCase(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return i == a.size() && b[i] == '\0';
}

// The value of the first container tag named `name` (ASCII case ignored), trimmed; empty when there is none.
QString tagValue(const MediaInfo& info, const char* name)
{
    for (const auto& tag : info.tags) {
        if (equalsIgnoringAsciiCase(tag.key, name))
            return fromUtf8(tag.value).trimmed();
    }
    return {};
}

QStringList trackDetails(const TrackInfo& track)
{
    QStringList lines;
    QString codec = MediaSessionBridge::tr("Codec: %1")
                        .arg(fromUtf8(track.codecLongName.empty() ? track.codec : track.codecLongName));
    if (!track.profile.empty())
        codec += QStringLiteral(" (%1)").arg(fromUtf8(track.profile));
    lines << codec;

    if (track.kind == kindVideo) {
        lines << MediaSessionBridge::tr("Resolution: %1 \u00D7 %2").arg(track.width).arg(track.height);
        if (track.frameRate > 0)
            lines << MediaSessionBridge::tr("Frame rate: %1 fps").arg(QLocale().toString(track.frameRate, 'f', 3));
        if (!track.pixelFormat.empty())
            lines << MediaSessionBridge::tr("Pixel format: %1").arg(fromUtf8(track.pixelFormat));
    } else if (track.kind == kindAudio) {
        if (track.sampleRate > 0)
            lines << MediaSessionBridge::tr("Sample rate: %1 Hz").arg(track.sampleRate);
        if (track.channels > 0) {
            const QString layout
                = track.channelLayout.empty() ? QString() : QStringLiteral(" (%1)").arg(fromUtf8(track.channelLayout));
            lines << MediaSessionBridge::tr("Channels: %1%2").arg(QString::number(track.channels), layout);
        }
    } else if (track.kind == kindSubtitle && track.external) {
        lines << MediaSessionBridge::tr("File: %1").arg(QDir::toNativeSeparators(fromUtf8(track.externalPath)));
    }

    if (track.bitRate > 0)
        lines << MediaSessionBridge::tr("Bit rate: %1 kb/s").arg(track.bitRate / 1000);
    if (!track.language.empty())
        lines << MediaSessionBridge::tr("Language: %1").arg(languageName(track.language));
    if (!track.title.empty())
        lines << MediaSessionBridge::tr("Title: %1").arg(fromUtf8(track.title));
    return lines;
}

QString trackType(int kind)
{
    switch (kind) {
    case kindVideo:
        return MediaSessionBridge::tr("Video");
    case kindAudio:
        return MediaSessionBridge::tr("Audio");
    case kindSubtitle:
        return MediaSessionBridge::tr("Subtitle");
    default:
        return {};
    }
}

// The label of the listed track with that id; empty when none is listed (labels never are).
QString labelOf(const QVariantList& tracks, int id)
{
    for (const QVariant& entry : tracks) {
        const QVariantMap map = entry.toMap();
        if (map.value(QStringLiteral("id")).toInt() == id)
            return map.value(QStringLiteral("label")).toString();
    }
    return {};
}

} // namespace

void MediaSessionBridge::buildChapters()
{
    if (!session_)
        return;
    const MediaInfo info = session_->mediaInfo();
    const QString path = fromUtf8(info.path);

    audioTracks_.clear();
    subtitleTracks_.clear();
    int audioNumber = 0;
    int subtitleNumber = 0;
    for (const TrackInfo& track : info.tracks) {
        if (track.kind == kindAudio)
            audioTracks_ << trackMap(track, ++audioNumber);
        else if (track.kind == kindSubtitle)
            subtitleTracks_ << trackMap(track, ++subtitleNumber);
    }
    emit tracksChanged();

    // Seeks and track changes reopen the same media: its description stays as it was.
    if (path == mediaInfoPath_)
        return;
    mediaInfoPath_ = path;

    mediaTitle_ = tagValue(info, "title");
    mediaArtist_ = tagValue(info, "artist");
    if (mediaArtist_.isEmpty())
        mediaArtist_ = tagValue(info, "album_artist");
    mediaAlbum_ = tagValue(info, "album");
    if (mediaTitle_.isEmpty())
        mediaTitle_ = isNetworkUrl(path) ? displayAddress(path) : QFileInfo(path).completeBaseName();

    chapters_.clear();
    int number = 0;
    for (const auto& chapter : info.chapters) {
        ++number;
        const QString title = fromUtf8(chapter.title);
        chapters_ << QVariantMap {
            { QStringLiteral("startUs"), qlonglong(chapter.startUs) },
            { QStringLiteral("endUs"), qlonglong(chapter.endUs) },
            { QStringLiteral("title"), title.isEmpty() ? tr("Chapter %1").arg(number) : title },
        };
    }

    coverArtUrl_
        = session_->coverArt() ? QStringLiteral("image://kvr/cover/%1").arg(session_->generation()) : QString();

    emit mediaInfoChanged();
    if (!path.isEmpty())
        addRecentFile(isNetworkUrl(path) ? path : QDir::toNativeSeparators(path));
}

void MediaSessionBridge::selectAudioTrack(int id)
{
    if (!session_)
        return;
    // The engine's own state: while casting the tracks listed are not the receiver's. Inside a reopen the change
    // waits its turn.
    if (!reopening_ && !isLoaded(engineState()))
        return;
    // Dropped while an open holds the engine, rather than making the window wait.
    if (!reopen([id](kvr::engine::MediaSession& s) { s.selectAudioTrack(id); }, [this] { emit tracksChanged(); }))
        return;
    pendingAudioTrack_ = id;
    emit tracksChanged();
    const QString label = labelOf(audioTracks_, id);
    if (!label.isEmpty())
        emit osd(tr("Audio: %1").arg(label));
}

void MediaSessionBridge::selectSubtitleTrack(int id)
{
    if (!session_)
        return;
    if (!reopening_ && !isLoaded(engineState()))
        return;
    bool ok = true;
    const auto changed = [this] {
        emit tracksChanged();
        emit subtitleSettingsChanged();
    };
    if (reopening_ || (id >= 0 && id < 100000 && id != session_->currentSubtitleTrack())) {
        // An embedded stream is a reopen, and anything asked inside a reopen waits its turn; whether it worked
        // shows in the state it ends in.
        if (!reopen([id](kvr::engine::MediaSession& s) { s.selectSubtitleTrack(id); }, changed))
            return;
        pendingSubtitleTrack_ = id;
    } else {
        std::unique_lock lock(engineMutex_, std::try_to_lock);
        if (!lock.owns_lock())
            return;
        ok = session_->selectSubtitleTrack(id);
    }
    emit tracksChanged();
    emit subtitleSettingsChanged();
    if (id < 0)
        emit osd(tr("Subtitles off"));
    else if (!ok)
        emit osd(tr("Could not load those subtitles"));
    else if (const QString label = labelOf(subtitleTracks_, id); !label.isEmpty())
        emit osd(tr("Subtitles: %1").arg(label));
}

void MediaSessionBridge::cycleAudioTrack()
{
    if (!session_)
        return;
    const int count = int(audioTracks_.size());
    if (count == 0) {
        emit osd(tr("No audio track"));
        return;
    }
    if (count == 1) {
        emit osd(tr("Only one audio track"));
        return;
    }
    const int current = currentAudioTrack();
    int index = 0;
    for (int i = 0; i < count; ++i) {
        if (audioTracks_[i].toMap().value(QStringLiteral("id")).toInt() == current)
            index = i;
    }
    selectAudioTrack(audioTracks_[(index + 1) % count].toMap().value(QStringLiteral("id")).toInt());
}

void MediaSessionBridge::cycleSubtitleTrack()
{
    if (!session_)
        return;
    const int count = int(subtitleTracks_.size());
    if (count == 0) {
        emit osd(tr("No subtitles"));
        return;
    }
    const int current = currentSubtitleTrack();
    int index = -1;
    for (int i = 0; i < count; ++i) {
        if (subtitleTracks_[i].toMap().value(QStringLiteral("id")).toInt() == current) {
            index = i;
            break;
        }
    }
    // off → first → … → last → off
    selectSubtitleTrack(
        index + 1 < count ? subtitleTracks_[index + 1].toMap().value(QStringLiteral("id")).toInt() : -1);
}

void MediaSessionBridge::loadSubtitleFile(const QString& fileUrl)
{
    std::unique_lock lock(engineMutex_, std::try_to_lock);
    if (!lock.owns_lock() || !session_)
        return;
    if (!isLoaded(engineState())) {
        lock.unlock();
        emit osd(tr("Open a video first, then add its subtitles"));
        return;
    }
    const QString path = toLocalPath(fileUrl);
    std::string error;
    // Bytes, never a wide string: paths here are bytes, and a wide one throws on any non-ASCII name.
    const bool ok = session_->addSubtitleFile(std::filesystem::path(QFile::encodeName(path).toStdString()), error);
    lock.unlock();
    buildChapters();
    emit subtitleSettingsChanged();
    const QString name = QFileInfo(path).fileName();
    if (ok)
        emit osd(tr("Subtitles: %1").arg(name));
    else
        emit osd(tr("Could not load %1: %2").arg(name, fromUtf8(error)));
}

void MediaSessionBridge::seekChapter(int index)
{
    if (index < 0 || index >= chapters_.size() || !hasMedia())
        return;
    const QVariantMap chapter = chapters_[index].toMap();
    seekUs(chapter.value(QStringLiteral("startUs")).toLongLong());
    emit osd(chapter.value(QStringLiteral("title")).toString());
}

void MediaSessionBridge::previousChapter()
{
    if (chapters_.isEmpty()) {
        emit osd(tr("No chapters"));
        return;
    }
    int chapter = currentChapter();
    if (chapter < 0)
        return;
    const qlonglong start = chapters_[chapter].toMap().value(QStringLiteral("startUs")).toLongLong();
    if (clockUs() - start <= previousChapterGraceUs && chapter > 0)
        --chapter;
    seekChapter(chapter);
}

QVariantMap MediaSessionBridge::mediaInfo() const
{
    // Through a reopen the medium stays, with the tracks asked for shown in use.
    if (!session_ || (!isLoaded(engineState()) && !(reopening_ && hasMedia())))
        return {};
    const MediaInfo info = session_->mediaInfo();
    const bool picture = hasVideo();
    const int audio = currentAudioTrack();
    const int subtitle = currentSubtitleTrack();

    QVariantList tags;
    for (const auto& tag : info.tags)
        tags << QVariantMap { { QStringLiteral("key"), fromUtf8(tag.key) },
            { QStringLiteral("value"), fromUtf8(tag.value) } };

    QVariantList tracks;
    for (const TrackInfo& track : info.tracks) {
        bool active = false;
        if (track.kind == kindVideo)
            active = picture;
        else if (track.kind == kindAudio)
            active = track.streamIndex == audio;
        else if (track.kind == kindSubtitle)
            active = track.streamIndex == subtitle;
        tracks << QVariantMap {
            { QStringLiteral("type"), trackType(track.kind) },
            { QStringLiteral("id"), track.streamIndex },
            { QStringLiteral("details"), trackDetails(track) },
            { QStringLiteral("active"), active },
        };
    }

    QString decoder;
    if (picture)
        decoder = session_->usesHardwareDecoding() ? tr("Hardware (VA-API)") : tr("Software");

    return {
        { QStringLiteral("path"), displayAddress(fromUtf8(info.path)) },
        { QStringLiteral("container"), fromUtf8(info.formatLongName.empty() ? info.formatName : info.formatLongName) },
        { QStringLiteral("durationUs"), qlonglong(info.durationUs) },
        { QStringLiteral("bitRate"), qlonglong(info.bitRate) },
        { QStringLiteral("fileSize"), qlonglong(info.fileSize) },
        { QStringLiteral("tags"), tags },
        { QStringLiteral("tracks"), tracks },
        { QStringLiteral("decoder"), decoder },
    };
}

QString MediaSessionBridge::channelText(int channels)
{
    switch (channels) {
    case 1:
        return tr("mono");
    case 2:
        return tr("stereo");
    case 6:
        return QStringLiteral("5.1");
    case 8:
        return QStringLiteral("7.1");
    default:
        return channels <= 0 ? QString() : tr("%1ch").arg(channels);
    }
}

bool MediaSessionBridge::usesHwDecode() const
{
    return session_ && session_->usesHardwareDecoding();
}

} // namespace kvr::ui
