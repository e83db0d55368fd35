#include "ui/cast/CastSession.h"

// This build finds no receivers: discovery finds nothing, so nothing is ever connected or cast, the player is
// never handed over, and every request that needs a receiver does nothing.

namespace kvr::ui::cast {

CastSession::CastSession(MediaSessionBridge* bridge, QObject* parent)
    : QObject(parent)
    , bridge_(bridge)
{
}

CastSession::~CastSession() = default;

void CastSession::setEnabled(bool on)
{
    if (on == enabled_)
        return;
    enabled_ = on;
    if (!on)
        stop();
    emit settingsChanged();
}

QVariantList CastSession::devices() const
{
    return {};
}

bool CastSession::active() const
{
    return false;
}

bool CastSession::busy() const
{
    return false;
}

QString CastSession::deviceName() const
{
    return {};
}

QString CastSession::mode() const
{
    return {};
}

QString CastSession::status() const
{
    return {};
}

void CastSession::setMenuOpen(bool) { }

void CastSession::start(const QString&) { }

void CastSession::stop() { }

void CastSession::refresh() { }

void CastSession::forceTranscode() { }

void CastSession::load(const QString&, int64_t) { }

void CastSession::play() { }

void CastSession::pause() { }

void CastSession::stopPlayback() { }

void CastSession::seek(int64_t) { }

void CastSession::setVolume(double) { }

int64_t CastSession::position()
{
    return 0;
}

int64_t CastSession::duration()
{
    return 0;
}

double CastSession::volume()
{
    return 1.0;
}

int CastSession::state()
{
    return 0;
}

void CastSession::setSubtitleMode(const QString& mode)
{
    if (mode == QLatin1String("auto") || mode == QLatin1String("burn") || mode == QLatin1String("off"))
        subtitleMode_ = mode;
}

} // namespace kvr::ui::cast
