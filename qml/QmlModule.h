#pragma once

#include <QString>
#include <QUrl>

class QQmlEngine;

namespace kvr::qml {

// Where "Main" of the module "Kestrune.MediaPlayer" lives in the program's resources.
QUrl mainComponentUrl();

// Makes the module and its C++ elements known to engine; call before loading anything that imports it.
void prepareEngine(QQmlEngine& engine);

} // namespace kvr::qml
