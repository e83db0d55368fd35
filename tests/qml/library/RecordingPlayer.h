#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>

namespace kvr::test {

// Stands in for the player ("Player" in QML) where the library interface is under test: it keeps a playlist
// the way the player does and records every call that hands it entries, without playing anything.
class RecordingPlayer : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList playlist READ playlist NOTIFY playlistChanged)
    Q_PROPERTY(int playlistCount READ playlistCount NOTIFY playlistChanged)
    Q_PROPERTY(QString currentFile READ currentFile NOTIFY playlistChanged)
    // One map per call, in order: {method, paths} plus {index, shuffle} for playPaths.
    Q_PROPERTY(QVariantList calls READ calls NOTIFY callsChanged)

public:
    using QObject::QObject;

    QStringList playlist() const { return playlist_; }
    int playlistCount() const { return int(playlist_.size()); }
    QString currentFile() const { return current_ >= 0 ? playlist_.at(current_) : QString(); }
    QVariantList calls() const { return calls_; }

public slots:
    void playPaths(const QStringList& paths, int index, bool shuffle);
    void playPathsNext(const QStringList& paths);
    void enqueuePaths(const QStringList& paths);

    // The test's side: a queue of these entries with the first current (none for an empty list), and a fresh
    // record. Neither is recorded as a call.
    void setQueue(const QStringList& entries);
    void clearCalls();
    // As the player does when an entry has played to its end.
    void finish(const QString& path, qlonglong playedUs) { emit played(path, playedUs); }

signals:
    void playlistChanged();
    void callsChanged();
    void played(const QString& path, qlonglong playedUs);

private:
    // The entries as the player keeps them: no empty ones, "file:" URLs as local paths.
    static QStringList normalised(const QStringList& paths);
    void record(const QVariantMap& call);

    QStringList playlist_;
    int current_ = -1;
    QVariantList calls_;
};

} // namespace kvr::test
