#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/SingleInstance.h"
#include "app/Trace.h"
#include "engine/Logging.h"
#include "platform/TaskbarProgress.h"
#include "qml/QmlModule.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QQuickStyle>

#include <clocale>
#include <cstdio>
#include <memory>

int main(int argc, char** argv)
{
    // Before any thread starts: engine objects set logging up from whichever thread makes one first, and
    // spdlog's default logger must not be swapped while another thread logs through it.
    kvr::engine::init_logging();
    kvr::app::installMessageRouting();

    // A wrong option is refused before anything needs a display, as QCommandLineParser::process would.
    {
        QCommandLineParser early;
        kvr::app::setUpParser(early);
        if (!early.parse(kvr::app::argumentsForParser(argc, argv))) {
            std::fputs(qPrintable(early.errorText() + QLatin1Char('\n')), stderr);
            return 1;
        }
    }

    kvr::platform::setAppUserModelId(u"Kestrune.MediaPlayer");

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
    if (qobject_cast<QGuiApplication*>(app.get()))
        QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/app.png")));
    QCoreApplication::setOrganizationDomain(QStringLiteral("kestrune.example"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kvr::app::kApplicationVersion));
    QQuickStyle::setStyle(QStringLiteral("Basic"));

    QCommandLineParser parser;
    kvr::app::setUpParser(parser);
    parser.process(*app);

    if (parser.isSet(QStringLiteral("convert")))
        return kvr::app::runConversion(parser);

    QStringList files;
    for (const QString& arg : parser.positionalArguments())
        files.append(kvr::app::toPathOrUrl(arg));

    kvr::app::SingleInstance single;
    if (!single.tryBecomePrimary()) {
        single.sendToPrimary(files, 500);
        return 0;
    }
    return kvr::app::runPlayer(&single, files, kvr::qml::mainComponentUrl());
}
