#include "platform/Smtc.h"

#include "platform/DesktopEntry.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <atomic>

namespace kvr::platform {
namespace mpris {

const QString serviceName = QStringLiteral("org.mpris.MediaPlayer2.kestrune");
const QString objectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString playerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

// What the bus sees of the player; the adaptors read it and turn calls into button presses.
struct PlayerState {
    QString playbackStatus = QStringLiteral("Stopped");
    QVariantMap metadata;
    std::function<void(Smtc::Button)> handler;

    void press(Smtc::Button button)
    {
        if (!handler)
            return;
        // A copy, so a handler that replaces itself is not destroyed while it runs.
        const auto call = handler;
        try {
            call(button);
        } catch (...) {
            // Nothing may unwind through Qt's event dispatch; a failed press is simply lost.
        }
    }
};

class RootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ no)
    Q_PROPERTY(bool CanRaise READ no)
    Q_PROPERTY(bool HasTrackList READ no)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ uriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ mimeTypes)

public:
    explicit RootAdaptor(QObject* parent)
        : QDBusAbstractAdaptor(parent)
    {
    }

    bool no() const { return false; }
    QString identity() const { return QStringLiteral("Kestrune Media Player"); }
    QString desktopEntry() const { return desktopFileName(); }
    QStringList uriSchemes() const { return supportedUriSchemes(); }
    QStringList mimeTypes() const { return supportedMimeTypes(); }

public slots:
    // The interface requires both methods; the player offers neither (CanRaise and CanQuit are false).
    void Raise() { }
    void Quit() { }
};

class PlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Rate READ rate)
    Q_PROPERTY(double MinimumRate READ rate)
    Q_PROPERTY(double MaximumRate READ rate)
    Q_PROPERTY(bool CanGoNext READ yes)
    Q_PROPERTY(bool CanGoPrevious READ yes)
    Q_PROPERTY(bool CanPlay READ yes)
    Q_PROPERTY(bool CanPause READ yes)
    Q_PROPERTY(bool CanSeek READ no)
    Q_PROPERTY(bool CanControl READ yes)

public:
    PlayerAdaptor(QObject* parent, PlayerState* state)
        : QDBusAbstractAdaptor(parent)
        , state(state)
    {
    }

    QString playbackStatus() const { return state->playbackStatus; }
    QVariantMap metadata() const { return state->metadata; }
    double rate() const { return 1.0; }
    bool yes() const { return true; }
    bool no() const { return false; }

public slots:
    void Play() { state->press(Smtc::Button::Play); }
    void Pause() { state->press(Smtc::Button::Pause); }
    void PlayPause() { state->press(Smtc::Button::PlayPause); }
    void Stop() { state->press(Smtc::Button::Stop); }
    void Next() { state->press(Smtc::Button::Next); }
    void Previous() { state->press(Smtc::Button::Previous); }
    // The controls have no seek or open buttons; the calls are accepted and do nothing.
    void Seek(qlonglong Offset) { Q_UNUSED(Offset) }
    void SetPosition(const QDBusObjectPath& TrackId, qlonglong Position)
    {
        Q_UNUSED(TrackId)
        Q_UNUSED(Position)
    }
    void OpenUri(const QString& Uri) { Q_UNUSED(Uri) }

private:
    PlayerState* state;
};

} // namespace mpris

struct Smtc::Record {
    // Every object has its own connection, so the name goes with it.
    QString connectionName;
    bool attached = false;
    std::unique_ptr<QObject> object;
    mpris::PlayerState state;
    quint64 tracks = 0;

    void announce(const QString& property, const QVariant& value) const
    {
        auto signal = QDBusMessage::createSignal(
            mpris::objectPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
        signal << mpris::playerInterface << QVariantMap { { property, value } } << QStringList();
        QDBusConnection(connectionName).send(signal);
    }
};

Smtc::Smtc()
    : d(std::make_unique<Record>())
{
    static std::atomic<unsigned> instances { 0 };
    d->connectionName = QStringLiteral("kvr-mpris-%1").arg(++instances);
}

Smtc::~Smtc()
{
    if (d->attached) {
        QDBusConnection bus(d->connectionName);
        bus.unregisterService(mpris::serviceName);
        bus.unregisterObject(mpris::objectPath);
        QDBusConnection::disconnectFromBus(d->connectionName);
    }
}

bool Smtc::attach(void* window)
{
    if (!window)
        return false;
    if (d->attached) {
        setStatus(0);
        return true;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, d->connectionName);
    if (!bus.isConnected()) {
        QDBusConnection::disconnectFromBus(d->connectionName);
        return false;
    }
    auto object = std::make_unique<QObject>();
    new mpris::RootAdaptor(object.get());
    new mpris::PlayerAdaptor(object.get(), &d->state);
    // The object before the name: a shell that sees the name appear reads the properties at once.
    if (!bus.registerObject(mpris::objectPath, object.get())) {
        QDBusConnection::disconnectFromBus(d->connectionName);
        return false;
    }
    if (!bus.registerService(mpris::serviceName)) {
        bus.unregisterObject(mpris::objectPath);
        QDBusConnection::disconnectFromBus(d->connectionName);
        return false;
    }
    d->object = std::move(object);
    d->state.playbackStatus = QStringLiteral("Stopped");
    d->attached = true;
    return true;
}

void Smtc::setButtonHandler(std::function<void(Button)> handler)
{
    d->state.handler = std::move(handler);
}

void Smtc::setStatus(int status)
{
    if (!d->attached)
        return;
    // MPRIS has no closed status: closed shows as stopped.
    const QString text = status == 2 ? QStringLiteral("Playing")
        : status == 3                ? QStringLiteral("Paused")
                                     : QStringLiteral("Stopped");
    if (text == d->state.playbackStatus)
        return;
    d->state.playbackStatus = text;
    d->announce(QStringLiteral("PlaybackStatus"), text);
}

void Smtc::setMetadata(const std::string& title, const std::string& artist)
{
    if (!d->attached)
        return;
    const QString titleText = QString::fromUtf8(title.data(), qsizetype(title.size()));
    const QString artistText = QString::fromUtf8(artist.data(), qsizetype(artist.size()));
    const QStringList artists = artistText.isEmpty() ? QStringList() : QStringList { artistText };
    auto& metadata = d->state.metadata;
    // The same title and artist again is no change; shells would otherwise flash the overlay on every state.
    if (!metadata.isEmpty() && metadata.value(QStringLiteral("xesam:title")).toString() == titleText
        && metadata.value(QStringLiteral("xesam:artist")).toStringList() == artists)
        return;
    // Shells accept only these bus types: an object path, a string and a list of strings.
    const QDBusObjectPath trackId(QStringLiteral("/org/kestrune/MediaPlayer/Track/%1").arg(++d->tracks));
    metadata = { { QStringLiteral("mpris:trackid"), QVariant::fromValue(trackId) },
        { QStringLiteral("xesam:title"), titleText }, { QStringLiteral("xesam:artist"), artists } };
    d->announce(QStringLiteral("Metadata"), metadata);
}

} // namespace kvr::platform

#include "Smtc.moc"
