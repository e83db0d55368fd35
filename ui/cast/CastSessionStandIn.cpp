#include "ui/cast/CastSession.h"

// This build finds no receivers: discovery finds nothing, so nothing is ever connected or cast and every
// request that needs a receiver does nothing.

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
    emit enabledChanged();
}

void CastSession::start(const QString&)
{
}

void CastSession::stop()
{
}

void CastSession::refresh()
{
}

void CastSession::forceTranscode()
{
}

void CastSession::setSubtitleMode(const QString& mode)
{
    if (mode == QLatin1String("auto") || mode == QLatin1String("burn") || mode == QLatin1String("off"))
        subtitleMode_ = mode;
}

} // namespace kvr::ui::cast
