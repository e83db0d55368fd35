import QtQuick
import QtQuick.Window
import Kestrune.MediaPlayer

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

    VideoSink {
        id: videoSink
        objectName: "videoSink"
        anchors.fill: parent
        // Without the application (a component test), the sink shows nothing.
        bridge: typeof Player !== "undefined" ? Player : null
    }
}
