import QtQuick
import QtQuick.Controls
import QtQml.Models
import Kestrune.MediaPlayer
import "MenuText.js" as MenuText

// The receiver chooser: whether the player casts, the receivers discovery has found, and the way to the
// cast window. While it is open discovery keeps asking, so receivers that answer late still join.
AppMenu {
    id: menu

    // The window that lists receivers, adds them by address and shows diagnostics.
    required property var receiversWindow
    // Receiver types by their display names; a type missing here shows as it comes.
    property var typeNames: ({})
    readonly property bool hasCast: typeof Cast !== "undefined"
    readonly property var devices: hasCast ? Cast.devices : []

    function typeName(type) {
        const key = String(type === undefined || type === null ? "" : type)
        return Object.prototype.hasOwnProperty.call(typeNames, key) ? typeNames[key] : key
    }

    function startReceiver(id) {
        Cast.start(id)
    }

    component Sep: MenuSeparator {
        topPadding: 4
        bottomPadding: 4
        contentItem: Rectangle {
            implicitWidth: 200
            implicitHeight: 1
            color: "#3a3d44"
        }
    }

    onAboutToShow: {
        if (hasCast)
            Cast.setMenuOpen(true)
    }
    // Opened from here, the cast window lists receivers too: discovery goes on while it shows.
    onClosed: {
        if (hasCast)
            Cast.setMenuOpen(receiversWindow.visible)
    }

    Action {
        text: menu.hasCast && Cast.active ? qsTr("Stop Casting to %1").arg(MenuText.literal(Cast.deviceName))
                                          : qsTr("Not casting")
        enabled: menu.hasCast && Cast.active
        onTriggered: Cast.stop()
    }
    Sep {}
    // Starting changes the list and so rebuilds these entries: the start waits for the next turn, once the
    // chosen entry has closed the menu, or it would destroy that entry mid-trigger.
    Instantiator {
        model: menu.devices
        delegate: SelAction {
            readonly property string deviceId: modelData ? String(modelData.id) : ""
            text: modelData ? MenuText.literal(modelData.name) + "   ·  " + MenuText.literal(menu.typeName(modelData.type))
                            : ""
            selected: !!modelData && modelData.active === true
            onTriggered: Qt.callLater(menu.startReceiver, deviceId)
        }
        onObjectAdded: (index, object) => menu.insertAction(index + 2, object)
        onObjectRemoved: (index, object) => menu.removeAction(object)
    }
    Action {
        text: menu.devices.length === 0 ? qsTr("Searching for receivers…") : qsTr("Search Again")
        onTriggered: Cast.refresh()
    }
    Sep {}
    Action {
        text: qsTr("Add Receiver by Address...")
        onTriggered: menu.receiversWindow.openWindow()
    }
    Action {
        text: qsTr("Cast Settings && Diagnostics...")
        onTriggered: menu.receiversWindow.openWindow()
    }
}
