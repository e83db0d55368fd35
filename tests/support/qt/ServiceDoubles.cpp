#include "tests/support/qt/ServiceDoubles.h"

#include "ui/bridge/MediaSessionBridge.h"

namespace kvr::test {

void ConverterDouble::cancel(int id)
{
    calls_ << QStringLiteral("cancel(%1)").arg(id);
    emit callsChanged();
}

int ConverterDouble::addJobs(const QStringList& inputs, const QVariantMap& settings)
{
    lastSettings_ = settings;
    calls_ << QStringLiteral("addJobs(%1)").arg(inputs.size());
    emit settingsChanged();
    emit callsChanged();
    return static_cast<int>(inputs.size());
}

CastDouble::CastDouble(ui::MediaSessionBridge* bridge, QObject* parent)
    : QObject(parent)
    , bridge_(bridge)
{
}

CastDouble::~CastDouble()
{
    // The player must not keep a receiver that is gone.
    if (attached_ && bridge_)
        bridge_->detachRemote(false);
}

void CastDouble::record(const QString& call)
{
    calls_ << call;
    emit callsChanged();
}

void CastDouble::remoteChanged()
{
    if (attached_ && bridge_)
        bridge_->remoteChanged();
}

void CastDouble::load(const QString& url, int64_t startUs)
{
    record(QStringLiteral("load(%1, %2)").arg(url).arg(startUs));
}

void CastDouble::play()
{
    record(QStringLiteral("play()"));
}

void CastDouble::pause()
{
    record(QStringLiteral("pause()"));
}

void CastDouble::stopPlayback()
{
    record(QStringLiteral("stopPlayback()"));
}

void CastDouble::seek(int64_t us)
{
    record(QStringLiteral("seek(%1)").arg(us));
}

void CastDouble::setVolume(double volume)
{
    record(QStringLiteral("setVolume(%1)").arg(volume));
}

void CastDouble::setRemoteState(int state)
{
    state_ = state;
    remoteChanged();
}

void CastDouble::setRemotePosition(qint64 us)
{
    positionUs_ = us;
    remoteChanged();
}

void CastDouble::setRemoteDuration(qint64 us)
{
    durationUs_ = us;
    remoteChanged();
}

void CastDouble::setRemoteVolume(double volume)
{
    volume_ = volume;
    remoteChanged();
}

void CastDouble::start(const QString& deviceId)
{
    record(QStringLiteral("start(%1)").arg(deviceId));
}

void CastDouble::stop()
{
    record(QStringLiteral("stop()"));
}

void CastDouble::refresh()
{
    record(QStringLiteral("refresh()"));
}

void CastDouble::setMenuOpen(bool open)
{
    record(QStringLiteral("setMenuOpen(%1)").arg(open ? QStringLiteral("true") : QStringLiteral("false")));
}

void CastDouble::attach()
{
    if (!bridge_ || attached_)
        return;
    attached_ = true;
    bridge_->attachRemote(this, this);
}

void CastDouble::detach(bool resumeLocally)
{
    if (!bridge_ || !attached_)
        return;
    attached_ = false;
    bridge_->detachRemote(resumeLocally);
}

} // namespace kvr::test
