#include "ui/cast/CastSession.h"

#include "ui/bridge/MediaSessionBridge.h"
#include "ui/cast/AirPlayController.h"
#include "ui/cast/CastController.h"
#include "ui/cast/ChromecastController.h"
#include "ui/cast/DlnaController.h"

#include <QDir>
#include <QTime>

#include <algorithm>

namespace kvr::ui::cast {

namespace {

const QString kGroup = QStringLiteral("cast");
const QString kEnabledKey = QStringLiteral("enabled");
const QString kDiscoverKey = QStringLiteral("discoverOnStart");
const QString kSubtitleModeKey = QStringLiteral("subtitleMode");
const QString kBitrateKey = QStringLiteral("maxBitrateMbps");
const QString kCacheKey = QStringLiteral("cacheSeconds");
const QString kAlwaysTranscodeKey = QStringLiteral("alwaysTranscode");
const QString kManualKey = QStringLiteral("manual");

constexpr int kRemoteIntervalMs = 250;

int typeFromText(const QString& text)
{
    if (text == QLatin1String("airplay"))
        return 1;
    if (text == QLatin1String("dlna"))
        return 2;
    return 0;
}

} // namespace

CastSession::CastSession(MediaSessionBridge* bridge, QObject* parent, int startupDiscoveryDelayMs)
    : QObject(parent)
    , bridge_(bridge)
{
    settings_.beginGroup(kGroup);
    enabled_ = settings_.value(kEnabledKey, true).toBool();
    discoverOnStart_ = settings_.value(kDiscoverKey, true).toBool();
    subtitleMode_ = settings_.value(kSubtitleModeKey, QStringLiteral("auto")).toString();
    maxBitrateMbps_ = settings_.value(kBitrateKey, 0).toInt();
    cacheSeconds_ = std::clamp(settings_.value(kCacheKey, 300).toInt(), 60, 3600);
    alwaysTranscodeIds_ = settings_.value(kAlwaysTranscodeKey).toStringList();
    discovery_.setTimeToLive(cacheSeconds_);

    QList<CastDevice> stored;
    const QVariantList manual = settings_.value(kManualKey).toList();
    for (const QVariant& entry : manual) {
        const QVariantMap map = entry.toMap();
        CastDevice device;
        device.id = map.value(QStringLiteral("id")).toString();
        device.type = typeFromText(map.value(QStringLiteral("type")).toString());
        device.name = map.value(QStringLiteral("name")).toString();
        device.address = QHostAddress(map.value(QStringLiteral("address")).toString());
        device.port = quint16(map.value(QStringLiteral("port")).toUInt());
        device.descriptionUrl = QUrl(map.value(QStringLiteral("description")).toString());
        device.manual = true;
        stored.append(device);
    }
    discovery_.restoreManual(stored);

    connect(&discovery_, &CastDiscovery::devicesChanged, this, &CastSession::saveManualDevices);
    connect(&discovery_, &CastDiscovery::manualFailed, this, [this](const QString& message) {
        appendDiagnostic(message);
        emit notice(message);
    });
    connect(&server_, &CastServer::requestServed, this,
        [this](const QString& line) { appendDiagnostic(QStringLiteral("http: ") + line); });
    connect(&remoteTimer_, &QTimer::timeout, this, [this] {
        if (bridge_ && controller_ && !attachPending_)
            bridge_->remoteChanged();
    });
    remoteTimer_.setInterval(kRemoteIntervalMs);
    diagnosticsTimer_.setSingleShot(true);
    // A coarse timer may fire early, and the interval is a promise to whoever shows the log.
    diagnosticsTimer_.setTimerType(Qt::PreciseTimer);
    diagnosticsTimer_.setInterval(kDiagnosticsSignalMs);
    connect(&diagnosticsTimer_, &QTimer::timeout, this, [this] {
        if (!diagnosticsPending_)
            return;
        diagnosticsPending_ = false;
        diagnosticsTimer_.start();
        emit diagnosticsChanged();
    });

    startupDiscoveryTimer_.setSingleShot(true);
    connect(&startupDiscoveryTimer_, &QTimer::timeout, this, [this] {
        startupDiscoveryDue_ = false;
        discovery_.start();
    });
    startupDiscoveryDue_ = enabled_ && discoverOnStart_;
    startDiscoveryAfter(startupDiscoveryDelayMs);
}

void CastSession::holdStartupDiscovery()
{
    startupDiscoveryTimer_.stop();
}

void CastSession::startDiscoveryAfter(int delayMs)
{
    if (startupDiscoveryDue_)
        startupDiscoveryTimer_.start(std::max(delayMs, 0));
}

CastSession::~CastSession()
{
    // Nothing the controllers still emit may reach a session being destroyed (disconnectDevice reports a
    // status, and the bridge would read it back from this object).
    if (controller_)
        disconnect(controller_, nullptr, this, nullptr);
    stopTranscode();
    // The stream folder and whatever is still in it go with the session; the server may still hold a file
    // open, which Linux keeps readable until it lets go.
    if (!cacheDir_.isEmpty())
        QDir(cacheDir_).removeRecursively();
    if (controller_)
        controller_->disconnectDevice();
    if (controller_)
        releasing_.append(controller_);
    controller_ = nullptr;
    for (const QPointer<CastController>& waiting : std::as_const(releasing_)) {
        if (!waiting)
            continue;
        if (reacting_ > 0) {
            // Destroyed from inside a reaction to a controller's signal, which is still being emitted: that
            // controller may only go once control is back in the event loop.
            waiting->setParent(nullptr);
            waiting->deleteLater();
        } else {
            delete waiting.data();
        }
    }
}

QVariantMap CastSession::deviceMap(const CastDevice& device) const
{
    return {
        { QStringLiteral("id"), device.id },
        { QStringLiteral("type"), castDeviceTypeText(device.type) },
        { QStringLiteral("name"), device.name },
        { QStringLiteral("model"), device.model },
        { QStringLiteral("address"), device.address.toString() },
        { QStringLiteral("port"), int(device.port) },
        { QStringLiteral("manual"), device.manual },
    };
}

QVariantList CastSession::devices() const
{
    QVariantList list;
    const QList<CastDevice> all = discovery_.devices();
    for (const CastDevice& device : all) {
        QVariantMap map = deviceMap(device);
        map.insert(QStringLiteral("alwaysTranscode"), alwaysTranscodeIds_.contains(device.id));
        map.insert(QStringLiteral("active"), controller_ && controller_->device().id == device.id);
        list.append(map);
    }
    return list;
}

bool CastSession::active() const
{
    return controller_ != nullptr;
}

bool CastSession::busy() const
{
    if (!controller_)
        return false;
    const int s = controller_->state();
    return loading_ || s == CastController::Connecting || s == CastController::Loading
        || s == CastController::Buffering;
}

QString CastSession::deviceId() const
{
    return controller_ ? controller_->device().id : QString();
}

QString CastSession::deviceName() const
{
    return controller_ ? controller_->device().name : QString();
}

QString CastSession::deviceType() const
{
    return controller_ ? castDeviceTypeText(controller_->device().type) : QString();
}

void CastSession::saveSettings()
{
    settings_.setValue(kEnabledKey, enabled_);
    settings_.setValue(kDiscoverKey, discoverOnStart_);
    settings_.setValue(kSubtitleModeKey, subtitleMode_);
    settings_.setValue(kBitrateKey, maxBitrateMbps_);
    settings_.setValue(kCacheKey, cacheSeconds_);
    settings_.setValue(kAlwaysTranscodeKey, alwaysTranscodeIds_);
    emit settingsChanged();
}

void CastSession::saveManualDevices()
{
    emit devicesChanged();
    QVariantList manual;
    const QList<CastDevice> devices = discovery_.manualDevices();
    for (const CastDevice& device : devices) {
        QVariantMap map = deviceMap(device);
        map.insert(QStringLiteral("description"), device.descriptionUrl.toString());
        manual.append(map);
    }
    settings_.setValue(kManualKey, manual);
}

void CastSession::setEnabled(bool on)
{
    if (on == enabled_)
        return;
    enabled_ = on;
    if (!on && controller_)
        stop();
    saveSettings();
}

void CastSession::setDiscoverOnStart(bool on)
{
    discoverOnStart_ = on;
    saveSettings();
}

void CastSession::setSubtitleMode(const QString& mode)
{
    if (mode == QLatin1String("auto") || mode == QLatin1String("burn") || mode == QLatin1String("off"))
        subtitleMode_ = mode;
    saveSettings();
}

void CastSession::setMaxBitrateMbps(int mbps)
{
    maxBitrateMbps_ = std::clamp(mbps, 0, 100);
    saveSettings();
}

void CastSession::setCacheSeconds(int seconds)
{
    cacheSeconds_ = std::clamp(seconds, 60, 3600);
    discovery_.setTimeToLive(cacheSeconds_);
    saveSettings();
}

void CastSession::appendDiagnostic(const QString& text)
{
    diagnostics_.append(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  ") + text);
    while (diagnostics_.size() > kDiagnosticsLines)
        diagnostics_.removeFirst();
    if (diagnosticsTimer_.isActive()) {
        diagnosticsPending_ = true;
        return;
    }
    diagnosticsTimer_.start();
    emit diagnosticsChanged();
}

void CastSession::clearDiagnostics()
{
    diagnostics_.clear();
    diagnosticsPending_ = false;
    emit diagnosticsChanged();
}

void CastSession::refresh()
{
    if (enabled_)
        discovery_.start();
}

void CastSession::setMenuOpen(bool open)
{
    if (enabled_)
        discovery_.rescan(open);
}

bool CastSession::alwaysTranscode(const QString& deviceId) const
{
    return alwaysTranscodeIds_.contains(deviceId);
}

void CastSession::setAlwaysTranscode(const QString& deviceId, bool on)
{
    const bool was = alwaysTranscodeIds_.contains(deviceId);
    alwaysTranscodeIds_.removeAll(deviceId);
    if (on)
        alwaysTranscodeIds_.append(deviceId);
    saveSettings();
    // The receiver list carries the choice too, and the casting window shows it from there.
    if (was != on && discovery_.device(deviceId))
        emit devicesChanged();
}

void CastSession::addManual(const QString& type, const QString& address)
{
    discovery_.addManual(typeFromText(type), address);
}

void CastSession::removeManual(const QString& deviceId)
{
    discovery_.removeManual(deviceId);
}

void CastSession::rememberSelection()
{
    selectedAudioTrack_ = -1;
    selectedSubtitleTrack_ = -2;
    selectedSubtitleFile_.clear();
    selectedSubtitleBitmap_ = false;
    selectedSubtitleLanguage_.clear();
    selectionSource_ = bridge_ ? bridge_->currentEntry() : QString();
    if (!bridge_ || !bridge_->hasMedia())
        return;
    const int audio = bridge_->currentAudioTrack();
    const QVariantList audioTracks = bridge_->audioTracks();
    for (const QVariant& track : audioTracks) {
        const QVariantMap map = track.toMap();
        if (map.value(QStringLiteral("id")).toInt() == audio && !map.value(QStringLiteral("default")).toBool())
            selectedAudioTrack_ = audio;
    }
    selectedSubtitleTrack_ = bridge_->currentSubtitleTrack();
    const QVariantList subtitleTracks = bridge_->subtitleTracks();
    for (const QVariant& track : subtitleTracks) {
        const QVariantMap map = track.toMap();
        if (map.value(QStringLiteral("id")).toInt() != selectedSubtitleTrack_)
            continue;
        selectedSubtitleFile_
            = map.value(QStringLiteral("external")).toBool() ? map.value(QStringLiteral("path")).toString() : QString();
        selectedSubtitleBitmap_ = map.value(QStringLiteral("bitmap")).toBool();
        selectedSubtitleLanguage_ = map.value(QStringLiteral("language")).toString();
    }
}

CastController* CastSession::createController(const CastDevice& device)
{
    switch (device.type) {
    case 1:
        return new AirPlayController(device, this);
    case 2:
        return new DlnaController(device, this);
    default:
        return new ChromecastController(device, this);
    }
}

void CastSession::start(const QString& deviceId)
{
    // Switched off, casting offers nothing to start, whatever asks for it.
    if (!enabled_)
        return;
    const CastDevice* found = discovery_.device(deviceId);
    if (!found) {
        emit notice(tr("That receiver is no longer available"));
        return;
    }
    // A copy: the registry's table may change under any later call.
    const CastDevice device = *found;
    if (controller_ && controller_->device().id == deviceId)
        return;

    // The server moves to the new receiver's network before anything of the running cast is touched: when
    // this computer has no address there, that cast goes on as it was.
    lastError_.clear();
    QString error;
    if (!server_.start(device.address, &error)) {
        lastError_ = error;
        appendDiagnostic(error);
        emit notice(error);
        emit stateChanged();
        return;
    }

    const bool switching = controller_ != nullptr;
    qint64 resumeUs = 0;
    QString resumeSource;
    if (switching) {
        resumeUs = position();
        resumeSource = currentSource_;
        stopTranscode();
        release(controller_);
        controller_ = nullptr;
    } else {
        // A failed cast keeps its source for the user to read; a fresh one has loaded nothing yet.
        currentSource_.clear();
        rememberSelection();
    }

    // Type 0 is named for its protocol rather than the product.
    const QString typeName = device.type == 0 ? QStringLiteral("cast") : castDeviceTypeText(device.type);
    appendDiagnostic(QStringLiteral("Connecting to %1 (%2, %3:%4)")
                         .arg(device.name, typeName, device.address.toString(), QString::number(device.port)));

    CastController* created = createController(device);
    controller_ = created;
    connectController(created);
    status_ = tr("Connecting…");
    emit stateChanged();
    created->connectDevice();
    // A controller that failed at once has already been released by fail.
    if (controller_ != created)
        return;
    remoteTimer_.start();
    emit devicesChanged();

    if (bridge_) {
        if (switching) {
            if (!resumeSource.isEmpty() && !attachPending_) {
                load(resumeSource, resumeUs);
                bridge_->remoteChanged();
            }
        } else {
            attachPending_ = true;
        }
    }
    emit stateChanged();
    emit notice(tr("Casting to %1").arg(device.name));
}

void CastSession::connectController(CastController* controller)
{
    // Every reaction counts itself in reacting_, so that a destructor run from inside it knows.
    auto guarded = [this](auto body) {
        return [this, body] {
            QPointer<CastSession> alive(this);
            ++reacting_;
            body();
            if (alive)
                --reacting_;
        };
    };
    connect(controller, &CastController::connected, this, guarded([this] { onConnected(); }));
    connect(controller, &CastController::statusChanged, this, guarded([this] {
        if (bridge_ && !attachPending_)
            bridge_->remoteChanged();
        emit stateChanged();
    }));
    connect(controller, &CastController::ended, this, guarded([this] {
        QPointer<CastSession> alive(this);
        appendDiagnostic(QStringLiteral("Receiver finished the item"));
        if (!alive)
            return;
        stopTranscode();
        if (bridge_)
            bridge_->remoteEnded();
    }));
    connect(controller, &CastController::failed, this, [this](const QString& message) {
        QPointer<CastSession> alive(this);
        ++reacting_;
        appendDiagnostic(message);
        if (alive)
            fail(message);
        if (alive)
            --reacting_;
    });
    connect(controller, &CastController::notice, this, [this](const QString& message) {
        QPointer<CastSession> alive(this);
        ++reacting_;
        appendDiagnostic(message);
        if (alive)
            emit notice(message);
        if (alive)
            --reacting_;
    });
}

void CastSession::onConnected()
{
    QPointer<CastSession> alive(this);
    appendDiagnostic(QStringLiteral("Connected"));
    if (!alive)
        return;
    status_ = tr("Connected");
    // Only the first answer after a fresh start hands the player over; a reconnect changes nothing here.
    if (attachPending_) {
        attachPending_ = false;
        if (bridge_)
            bridge_->attachRemote(this, this);
        if (!alive)
            return;
    }
    emit stateChanged();
}

void CastSession::release(CastController* controller)
{
    if (!controller)
        return;
    disconnect(controller, nullptr, this, nullptr);
    controller->disconnectDevice();
    releasing_.removeAll(nullptr);
    releasing_.append(controller);
    // Never deleted at once: the release may run inside the controller's own signal, and its last request to
    // the receiver needs its network manager alive until it has left.
    QTimer::singleShot(kReleaseDelayMs, controller, &QObject::deleteLater);
}

void CastSession::stop()
{
    if (!controller_)
        return;
    QPointer<CastSession> alive(this);
    appendDiagnostic(QStringLiteral("Stopped casting"));
    if (!alive)
        return;
    if (bridge_ && !attachPending_)
        bridge_->detachRemote(true);
    attachPending_ = false;
    stopTranscode();
    endLoad();
    release(controller_);
    controller_ = nullptr;
    server_.clear();
    remoteTimer_.stop();
    mode_.clear();
    status_.clear();
    currentSource_.clear();
    emit devicesChanged();
    if (alive)
        emit stateChanged();
}

void CastSession::fail(const QString& message)
{
    QPointer<CastSession> alive(this);
    lastError_ = message;
    emit notice(message);
    if (!alive)
        return;
    if (bridge_ && !attachPending_)
        bridge_->detachRemote(false);
    attachPending_ = false;
    stopTranscode();
    endLoad();
    if (controller_) {
        release(controller_);
        controller_ = nullptr;
    }
    server_.clear();
    remoteTimer_.stop();
    mode_.clear();
    status_.clear();
    emit devicesChanged();
    if (alive)
        emit stateChanged();
}

void CastSession::forceTranscode()
{
    if (!controller_ || currentSource_.isEmpty())
        return;
    forceTranscoding_ = true;
    beginLoad(currentSource_, position(), true);
}

} // namespace kvr::ui::cast
