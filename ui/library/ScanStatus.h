#pragma once

#include <QString>
#include <QStringList>

namespace kvr::ui::library {

// The scanner's report of one pass, handed to both of its callbacks. Every pass starts a fresh one.
struct ScanStatus {
    bool running = false;
    bool paused = false;
    int found = 0;
    int processed = 0;
    int added = 0;
    int updated = 0;
    int removed = 0;
    // Media files the pass could not read or name (logged one by one), and those set aside.
    int leftOut = 0;
    // The name, without its directory, of the file being read; empty during the walk and at the end.
    QString current;
    // Directories holding files that were still being written when met: the owner asks for them again.
    QStringList settling;
};

} // namespace kvr::ui::library
