#pragma once

#include <QObject>
#include <QString>

namespace kvr::ui::library {

// The media library ("Library" in QML): what was played, when and how often, and the cover cache.
class Library : public QObject {
    Q_OBJECT

public:
    explicit Library(QObject* parent = nullptr);
    ~Library() override;

    // The application-data location followed by "/covers".
    QString coverCacheDir;

public slots:
    // One play of path, playedUs microseconds long.
    void recordPlay(const QString& path, qint64 playedUs);

signals:
    // A short, translated message for the user (scan results, saved playlists and the like).
    void notice(const QString& text);
};

} // namespace kvr::ui::library
