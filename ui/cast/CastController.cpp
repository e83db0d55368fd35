#include "ui/cast/CastController.h"

#include <cmath>

namespace kvr::ui::cast {

CastController::CastController(const CastDevice& device, QObject* parent)
    : QObject(parent)
    , device_(device)
{
}

CastController::~CastController() = default;

bool CastController::supportsSubtitleTracks() const
{
    return false;
}

bool CastController::supportsVolume() const
{
    return true;
}

double CastController::currentPosition() const
{
    if (state_ == Playing && statusClock_.isValid())
        return position_ + static_cast<double>(statusClock_.elapsed()) / 1000.0;
    return position_;
}

std::optional<double> CastController::reportedSeconds(double seconds)
{
    constexpr double kLongest = 100.0 * 3600.0;
    if (!std::isfinite(seconds) || seconds < 0.0 || seconds > kLongest)
        return std::nullopt;
    return seconds;
}

void CastController::updateStatus(int state, double positionSeconds, double durationSeconds)
{
    position_ = positionSeconds;
    state_ = state;
    if (durationSeconds >= 0.0)
        duration_ = durationSeconds;
    statusClock_.restart();
    emit statusChanged();
}

} // namespace kvr::ui::cast
