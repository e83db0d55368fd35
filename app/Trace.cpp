#include "app/Trace.h"

#include "engine/FileWrite.h"
#include "engine/PrivateDirectory.h"

#include <QLoggingCategory>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace kvr::app {
namespace {

const char* prefixFor(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "qt-debug";
    case QtWarningMsg:
        return "qt-warn";
    case QtCriticalMsg:
        return "qt-crit";
    case QtFatalMsg:
        return "qt-fatal";
    case QtInfoMsg:
        return "qt-info";
    }
    return "qt-debug";
}

} // namespace

const char* tracePath()
{
    // Never destroyed: Qt objects that static destructors delete still report, after a static string would be
    // gone, and a freed name would make a stray file wherever the process happens to stand.
    static const std::string* const path = new std::string([] {
        try {
            return (engine::privateDirectoryOrCurrent() / "kvr_trace.txt").string();
        } catch (...) {
            return std::string("./kvr_trace.txt");
        }
    }());
    return path->c_str();
}

void traceLine(const char* text)
{
    try {
        std::string line = text ? text : "";
        line += '\n';
        // O_APPEND and a single write keep each line whole; no lock is needed across threads or processes.
        const int fd = ::open(tracePath(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            kvr::engine::writeFully(fd, line);
            ::close(fd);
        }
        kvr::engine::writeFully(STDERR_FILENO, line);
    } catch (...) {
        // Out of memory while tracing: nothing sensible is left to report it with.
    }
}

void qtMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    const std::string line = std::string(prefixFor(type)) + ": " + message.toStdString();
    traceLine(line.c_str());
}

void installMessageRouting()
{
    qInstallMessageHandler(&qtMessageHandler);
    QLoggingCategory::setFilterRules(QString::fromLatin1(kLoggingRules));
}

} // namespace kvr::app
