#pragma once

#include <QtGlobal>
#include <QString>

namespace kvr::app {

// Debug output of every category but the default one, and all of Qt's platform, scene-graph and QML chatter,
// stays out of the trace file.
inline constexpr const char* kLoggingRules
    = "*.debug=false\nqt.qpa.*=false\nqt.scenegraph.*=false\nqt.qml.*=false\ndefault=true";

// "kvr_trace.txt" in the private per-user directory (the current directory when there is none); fixed at the
// first call.
const char* tracePath();

// Appends text and "\n" to the trace file in one write, so lines from several threads and processes never
// interleave, and mirrors the line to standard error. Never fails: a file that cannot be written is skipped.
void traceLine(const char* text);

// Qt's message handler: "qt-debug: …", "qt-warn: …" and so on, as one trace line each. Does not end the process
// for fatal messages; Qt does that after the handler returns.
void qtMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// Installs qtMessageHandler and the logging filter rules; the first thing the process does.
void installMessageRouting();

} // namespace kvr::app
