// A process that takes part in the single-instance election, for the multi-process tests.
//   kvr_single_instance_probe <expected> [entries...]
// Prints "primary" or "secondary". A secondary hands its entries over and exits 0. The primary prints
// "received\t<entry>" for every entry it receives and exits 0 once it has <expected> of them (3 after 20 s).
#include "app/CommandLine.h"
#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const int expected = args.isEmpty() ? 0 : args.takeFirst().toInt();

    kvr::app::SingleInstance single;
    if (!single.tryBecomePrimary()) {
        QStringList entries;
        for (const QString& arg : args)
            entries.append(kvr::app::toPathOrUrl(arg));
        std::printf("secondary\n");
        std::fflush(stdout);
        return single.sendToPrimary(entries, 500) ? 0 : 1;
    }
    std::printf("primary%s\n", single.isListening() ? "" : " without channel");
    std::fflush(stdout);

    int received = 0;
    QObject::connect(&single, &kvr::app::SingleInstance::filesReceived, &app, [&](const QStringList& paths) {
        for (const QString& p : paths)
            std::printf("received\t%s\n", p.toUtf8().constData());
        std::fflush(stdout);
        received += static_cast<int>(paths.size());
        if (received >= expected)
            QCoreApplication::exit(0);
    });
    QTimer::singleShot(20000, &app, [] { QCoreApplication::exit(3); });
    return app.exec();
}
