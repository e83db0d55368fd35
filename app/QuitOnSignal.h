#pragma once

#include <QObject>

class QSocketNotifier;

namespace kvr::app {

// Turns SIGTERM, SIGINT and SIGHUP (a logout, Ctrl+C in a terminal) into an orderly QCoreApplication::quit, so
// the settings, playlist and resume positions are saved as at any other quit. The handler only writes one byte
// to a pipe; the quit happens on the GUI thread.
class QuitOnSignal : public QObject {
    Q_OBJECT

public:
    explicit QuitOnSignal(QObject* parent = nullptr);
    ~QuitOnSignal() override;

private:
    QSocketNotifier* notifier = nullptr;
};

} // namespace kvr::app
