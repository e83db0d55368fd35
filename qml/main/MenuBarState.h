#pragma once

#include <QObject>

namespace kvr::qml {

// Mends Qt 6.4's MenuBar after a menu closes with the pointer still on its title (Esc, most often): the bar
// stays in its "a menu is open" mode, so the next click on a title toggles a menu shut instead of opening it
// and the user clicks twice. The module offers one instance as the singleton "MenuBarState".
class MenuBarState : public QObject {
    Q_OBJECT

public:
    explicit MenuBarState(QObject* parent = nullptr);

    // Watches every menu of menuBar (a MenuBar) from now on; call once its menus are in place.
    Q_INVOKABLE void watch(QObject* menuBar) const;
};

} // namespace kvr::qml
