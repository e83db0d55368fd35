#include "app/QuitOnSignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvr::app {
namespace {

int signalFds[2] = { -1, -1 };
const int handledSignals[] = { SIGTERM, SIGINT, SIGHUP };

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalFds[0], &byte, 1);
}

} // namespace

QuitOnSignal::QuitOnSignal(QObject* parent)
    : QObject(parent)
{
    if (signalFds[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalFds) != 0)
        return;
    notifier = new QSocketNotifier(signalFds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [] {
        char buffer[16];
        while (::read(signalFds[1], buffer, sizeof buffer) > 0) { }
        // exit, not quit: quit asks every window to close first, and a window that holds on (the prompt about
        // running conversions) would keep a terminated process alive. The queue keeps those jobs for later.
        QCoreApplication::exit(0);
    });
    struct sigaction action { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : handledSignals)
        ::sigaction(sig, &action, nullptr);
}

QuitOnSignal::~QuitOnSignal()
{
    if (!notifier)
        return;
    for (const int sig : handledSignals)
        ::signal(sig, SIG_DFL);
    delete notifier;
    ::close(signalFds[0]);
    ::close(signalFds[1]);
    signalFds[0] = signalFds[1] = -1;
}

} // namespace kvr::app
