import QtQuick
import QtQuick.Controls
import QtQml.Models
import Kestrune.MediaPlayer

// The playback speeds, for the menu bar, the stage's menu and the transport bar's speed button.
AppMenu {
    id: spm

    // The main window: its list of speed steps.
    required property var host

    title: qsTr("Speed")

    Instantiator {
        model: spm.host.speeds
        delegate: SelAction {
            readonly property real speed: modelData
            text: speed === 1 ? qsTr("Normal (1×)") : String(speed) + "×"
            selected: typeof Player !== "undefined" && Math.abs(Player.speed - speed) < 0.001
            onTriggered: Player.speed = speed
        }
        onObjectAdded: (index, object) => spm.insertAction(index, object)
        onObjectRemoved: (index, object) => spm.removeAction(object)
    }
}
