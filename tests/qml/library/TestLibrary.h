#pragma once

#include <QObject>
#include <QPointer>
#include <QQmlContext>
#include <QString>

#include <memory>

namespace kvr::ui::library {
class Library;
}

namespace kvr::test {

class RecordingPlayer;

// The library behind the QML tests of the library interface, as the context property "TestLibrary": it owns
// the real Library that QML sees as "Library", opened on a freshly seeded database in this process's own data
// folder, and can open it again in another state. The recording player's finished entries reach the
// library's play statistics, as the program wires them.
class TestLibrary : public QObject {
    Q_OBJECT
    // The folder the seeded library's paths lie below (nothing exists there on disk).
    Q_PROPERTY(QString mediaRoot READ mediaRoot CONSTANT)
    // Where the tests save their screenshots, in the build tree.
    Q_PROPERTY(QString screenshotDir READ screenshotDir CONSTANT)
    Q_PROPERTY(QString databasePath READ databasePath CONSTANT)

public:
    TestLibrary(QQmlContext* context, RecordingPlayer* player);
    ~TestLibrary() override;

    QString mediaRoot() const;
    QString screenshotDir() const;
    QString databasePath() const;

    // Closes the current library (QML sees no "Library" meanwhile) and opens it again on a new database:
    // "seeded" (the seed library), "empty" (a new database, no folders), "refused" (the seed library stamped
    // with a newer schema, which the library refuses), "damaged" (the seed library cut to half its size), or
    // "absent" (no library at all); or on the same files as the player's next start does ("restart"). False
    // when the database could not be written.
    Q_INVOKABLE bool reopen(const QString& state = QStringLiteral("seeded"));

private:
    void close();

    // The bench's engine may be gone before this object.
    QPointer<QQmlContext> context_;
    RecordingPlayer* player_;
    std::unique_ptr<ui::library::Library> library_;
};

} // namespace kvr::test
