#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace kvr::platform {

// The desktop's own file chooser, asked through the freedesktop portal on the session bus
// (org.freedesktop.portal.FileChooser): OpenFile or SaveFile, answered later by the Request's Response
// signal. Nothing here waits on the bus: every answer arrives as a signal. GUI thread only; one question at
// a time.
class FileChooserPortal : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)

public:
    explicit FileChooserPortal(QObject* parent = nullptr);
    ~FileChooserPortal() override;

    // Asks the portal. options: "mode" ("open", "openMany", "save" or "folder"), "title", "acceptLabel",
    // "nameFilters" (texts like "Playlists (*.m3u *.pls)"), "currentName" (save), "currentFolder" (a file
    // URL) and "window" (the QWindow the chooser belongs to). False, with nothing asked, when no session bus
    // is connected or a question is already open; then the caller shows its own dialog.
    Q_INVOKABLE bool ask(const QVariantMap& options);

    bool busy() const { return !requestPath_.isEmpty(); }

signals:
    void busyChanged();
    // The user chose (accepted, with the chosen file URLs) or cancelled in the desktop's chooser. A save
    // chooser has already asked before replacing a file.
    void finished(bool accepted, const QStringList& urls);
    // The bus offers no file chooser (an error reply to the question): the caller shows its own dialog.
    void unavailable(const QString& reason);

private slots:
    void onResponse(uint response, const QVariantMap& results);

private:
    void listen(const QString& path);
    void forget();

    QString requestPath_;
};

// "Name (*.a *.b)" into its name and patterns; a text without a pattern list names a filter of "*" only.
void splitNameFilter(const QString& filter, QString* name, QStringList* patterns);

} // namespace kvr::platform
