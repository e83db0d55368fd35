#pragma once

#include <QMetaType>
#include <QString>

#include <cstdint>

namespace kvr::ui {

// What the player needs of a remote receiver while casting. The casting side implements it; the player
// calls it on the GUI thread only, and every call must return quickly.
class RemotePlayback {
public:
    virtual ~RemotePlayback() = default;

    // Plays url (the playlist entry as stored) from startUs.
    virtual void load(const QString& url, int64_t startUs) = 0;
    virtual void play() = 0;
    virtual void pause() = 0;
    virtual void stopPlayback() = 0;
    // us is never negative.
    virtual void seek(int64_t us) = 0;
    // 0 … 1.
    virtual void setVolume(double volume) = 0;
    virtual int64_t position() = 0;
    // ≤ 0 when unknown.
    virtual int64_t duration() = 0;
    virtual double volume() = 0;
    // The player's state values: Idle 0, Opening 1, Prepared 2, Playing 3, Paused 4, Ending 5, Closed 6,
    // Error 7.
    virtual int state() = 0;
};

} // namespace kvr::ui

Q_DECLARE_METATYPE(kvr::ui::RemotePlayback*)
