import QtQuick
import QtQuick.Window

// The player's main window.
Window {
    id: root

    width: 960
    height: 540
    minimumWidth: 320
    minimumHeight: 180
    visible: true
    color: "black"
    title: qsTr("Kestrune Media Player")
}
