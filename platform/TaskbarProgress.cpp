#include "platform/TaskbarProgress.h"

#include "platform/DesktopEntry.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QVariantMap>

#include <algorithm>

namespace kvr::platform {

struct TaskbarProgress::Record {
    bool attached = false;
    // The last value sent, 0 to 1; a bar that becomes visible shows it.
    double progress = 0.0;

    void send(const QVariantMap& properties) const
    {
        auto signal = QDBusMessage::createSignal(QStringLiteral("/org/kestrune/MediaPlayer/LauncherEntry"),
            QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
        signal << QStringLiteral("application://%1.desktop").arg(desktopFileName()) << properties;
        QDBusConnection::sessionBus().send(signal);
    }
};

TaskbarProgress::TaskbarProgress()
    : d(std::make_unique<Record>())
{
}

TaskbarProgress::~TaskbarProgress()
{
    if (d->attached)
        setState(0);
}

bool TaskbarProgress::attach(void* window)
{
    if (!window)
        return false;
    if (d->attached)
        return true;
    if (!QDBusConnection::sessionBus().isConnected())
        return false;
    d->attached = true;
    return true;
}

void TaskbarProgress::setState(int state)
{
    if (!d->attached)
        return;
    // Launchers know no indeterminate bar, so an opening medium shows none.
    const bool visible = state == 2 || state == 3 || state == 4;
    QVariantMap properties { { QStringLiteral("progress-visible"), visible },
        { QStringLiteral("urgent"), state == 4 } };
    if (visible)
        properties.insert(QStringLiteral("progress"), d->progress);
    d->send(properties);
}

void TaskbarProgress::setProgress(std::uint64_t completed, std::uint64_t total)
{
    if (!d->attached || total == 0)
        return;
    d->progress = double(std::min(completed, total)) / double(total);
    d->send({ { QStringLiteral("progress"), d->progress } });
}

void setAppUserModelId(std::u16string_view id)
{
    if (id.empty())
        return;
    QGuiApplication::setDesktopFileName(desktopFileName());
}

} // namespace kvr::platform
