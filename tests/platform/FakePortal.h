#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace kvr::test {

// The desktop's portal as far as the file chooser goes, on a bus connection of its own: it records each
// question and answers it on the Request path as the real one does, after its reply to the call. Only on a
// private session bus: on a shared one every chooser of every test would ask it.
class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.FileChooser")
    Q_PROPERTY(uint response MEMBER response)
    Q_PROPERTY(QStringList uris MEMBER uris)
    Q_PROPERTY(QString method MEMBER method NOTIFY asked)
    Q_PROPERTY(QString title MEMBER title NOTIFY asked)
    Q_PROPERTY(int questions MEMBER questions NOTIFY asked)
    Q_PROPERTY(bool registered MEMBER registered CONSTANT)

public:
    explicit FakePortal(const QString& connectionName = QStringLiteral("fake-portal"), QObject* parent = nullptr);
    ~FakePortal() override;

    // What the next question is answered with.
    uint response = 0;
    QStringList uris;
    // Answer on a path of the portal's own instead of the one the token names (older portals).
    bool ownPath = false;

    bool registered = false;
    int questions = 0;
    QString method;
    QString parentWindow;
    QString title;
    QVariantMap options;

    // The option as it came, for QML (a marshalled value as text).
    Q_INVOKABLE QVariant option(const QString& name) const { return options.value(name); }

signals:
    void asked();

public slots:
    QDBusObjectPath OpenFile(
        const QString& parent, const QString& titleText, const QVariantMap& opts, const QDBusMessage& call);
    QDBusObjectPath SaveFile(
        const QString& parent, const QString& titleText, const QVariantMap& opts, const QDBusMessage& call);

private:
    QDBusObjectPath answer(const QString& name, const QString& parent, const QString& titleText,
        const QVariantMap& opts, const QDBusMessage& call);

    QDBusConnection bus_;
};

} // namespace kvr::test
