#include "app/CommandLine.h"
#include "app/SingleInstance.h"
#include "app/Trace.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>

#include <clocale>
#include <cstdio>
#include <memory>

int main(int argc, char** argv)
{
    kvr::app::installMessageRouting();

    // Help, version and conversion must work without a display, where a QGuiApplication would abort.
    std::unique_ptr<QCoreApplication> app;
    if (kvr::app::needsOnlyCoreApplication(argc, argv))
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QGuiApplication>(argc, argv);
    // Qt took the user's locale for everything; printf-style numbers (progress lines, FFmpeg's option and filter
    // texts) need the C decimal point.
    std::setlocale(LC_NUMERIC, "C");
    QCoreApplication::setApplicationName(QStringLiteral("Kestrune Media Player"));
    QCoreApplication::setOrganizationName(QStringLiteral("Kestrune"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kvr::app::kApplicationVersion));

    QCommandLineParser parser;
    kvr::app::setUpParser(parser);
    parser.process(*app);

    if (parser.isSet(QStringLiteral("convert")))
        return kvr::app::runConversion(parser);

    kvr::app::SingleInstance single;
    if (!single.tryBecomePrimary()) {
        QStringList entries;
        for (const QString& arg : parser.positionalArguments())
            entries.append(kvr::app::toPathOrUrl(arg));
        single.sendToPrimary(entries, 500);
        return 0;
    }

    // Placeholder until the player window and its services are wired up here.
    std::fputs("kestrune: the player window is not part of this build yet\n", stderr);
    return 0;
}
