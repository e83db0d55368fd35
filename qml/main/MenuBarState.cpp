#include "qml/main/MenuBarState.h"

#include <QtQuickTemplates2/private/qquickmenu_p.h>
#include <QtQuickTemplates2/private/qquickmenubar_p.h>
#include <QtQuickTemplates2/private/qquickmenubar_p_p.h>
#include <QtQuickTemplates2/private/qquickmenubaritem_p.h>

namespace kvr::qml {

MenuBarState::MenuBarState(QObject* parent)
    : QObject(parent)
{
}

void MenuBarState::watch(QObject* menuBar) const
{
    auto* bar = qobject_cast<QQuickMenuBar*>(menuBar);
    if (!bar)
        return;
    for (int i = 0; i < bar->count(); ++i) {
        QQuickMenu* menu = bar->menuAt(i);
        if (!menu)
            continue;
        QObject::connect(menu, &QQuickPopup::aboutToHide, bar, [bar, menu] {
            QQuickMenuBarPrivate* d = QQuickMenuBarPrivate::get(bar);
            const QQuickMenuBarItem* item = d->currentItem;
            // A switch to another title unhighlights the old one before its menu hides, and a click on the
            // open title leaves the mode itself: only a menu that closed on its own leaves the bar stuck.
            if (d->triggering || !d->popupMode || !item || item->menu() != menu || !item->isHighlighted())
                return;
            d->popupMode = false;
        });
    }
}

} // namespace kvr::qml
