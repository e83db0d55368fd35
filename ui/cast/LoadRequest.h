#pragma once

#include <QString>
#include <QUrl>

namespace kvr::ui::cast {

// What a receiver is asked to play. Copied by value: a controller keeps its own copy of the last request.
struct LoadRequest {
    // Where the receiver fetches the media: our media server, or a network stream's own address.
    QUrl url;
    // MIME type of what url serves.
    QString contentType;
    QString title;
    // Empty when the media has no artist tag.
    QString artist;
    // False only for audio-only media; a network stream of unknown content counts as video.
    bool video = true;
    // A live conversion already begins at the wanted position, so the receiver starts at 0 and startSeconds
    // is not applied.
    bool liveConversion = false;
    double startSeconds = 0.0;
    // 0 or less means unknown.
    double durationSeconds = 0.0;
    // A WebVTT sidecar; an empty (invalid) URL means no subtitles.
    QUrl subtitleUrl;
    // Empty when unknown.
    QString subtitleLanguage;
};

} // namespace kvr::ui::cast
