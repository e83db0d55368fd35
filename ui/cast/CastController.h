#pragma once

#include "ui/cast/CastDevice.h"
#include "ui/cast/LoadRequest.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <optional>

namespace kvr::ui::cast {

// Drives one receiver for one cast session. The session creates the subclass for the receiver's type, calls
// the operations below and reads the status fields; only the controller writes them. Operations return
// nothing: a failure sets Error and is reported once through failed, recoverable events go through notice.
// GUI thread only.
class CastController : public QObject {
    Q_OBJECT

public:
    // A plain int, shared by every controller and read by the session.
    enum State : int { Idle = 0, Connecting = 1, Loading = 2, Buffering = 3, Playing = 4, Paused = 5, Error = 6 };

    CastController(const CastDevice& device, QObject* parent = nullptr);
    ~CastController() override;

    // Opens the control connection: Connecting at once, connected once load can be served.
    virtual void connectDevice() = 0;
    // Plays a copy of the request; a receiver that is not ready yet gets it once it is.
    virtual void load(const LoadRequest& request) = 0;
    virtual void play() = 0;
    virtual void pause() = 0;
    virtual void stop() = 0;
    // Absolute position in seconds.
    virtual void seek(double seconds) = 0;
    // 0.0 to 1.0.
    virtual void setVolume(double level) = 0;
    // Stops the receiver's media and closes the connection; no failed follows for the closed connection.
    virtual void disconnectDevice() = 0;
    // Whether load delivers subtitleUrl as a selectable text track.
    virtual bool supportsSubtitleTracks() const;
    // Whether setVolume has an effect.
    virtual bool supportsVolume() const;

    const CastDevice& device() const { return device_; }
    int state() const { return state_; }
    // Seconds, as last reported by or sent to the receiver.
    double position() const { return position_; }
    // Seconds; 0 until known.
    double duration() const { return duration_; }
    double volume() const { return volume_; }
    // Restarted with every write of state or position; invalid until the first one.
    const QElapsedTimer& statusClock() const { return statusClock_; }
    // The position now: while Playing it runs on from the last report with statusClock.
    double currentPosition() const;

    // A time a receiver reported, in seconds, when it can be one: a value that is not finite, negative or
    // beyond 100 hours comes from a damaged or hostile answer and is not taken (nothing).
    static std::optional<double> reportedSeconds(double seconds);

signals:
    // The receiver accepted the session and load is served at once.
    void connected();
    // State, position, duration or volume changed, or were refreshed unchanged.
    void statusChanged();
    // The media played to its end; state is already Idle.
    void ended();
    // The session failed; state is already Error. A complete, translated sentence naming the receiver.
    void failed(const QString& message);
    // Something worth telling the user that does not end the session.
    void notice(const QString& message);

protected:
    // Every status the receiver reports: a negative duration means unknown and keeps the old one.
    void updateStatus(int state, double positionSeconds, double durationSeconds);

    CastDevice device_;
    int state_ = Idle;
    double position_ = 0.0;
    double duration_ = 0.0;
    double volume_ = 1.0;
    QElapsedTimer statusClock_;
};

} // namespace kvr::ui::cast
