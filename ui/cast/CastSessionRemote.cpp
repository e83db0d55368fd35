// The session as the player's remote. Nothing is loaded on a receiver yet: a load is dropped, transport
// commands do nothing, and position, duration, volume and state are those of a receiver at rest.
#include "ui/cast/CastSession.h"

namespace kvr::ui::cast {

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

void CastSession::beginLoad(const QString&, int64_t, bool) { }

} // namespace kvr::ui::cast
