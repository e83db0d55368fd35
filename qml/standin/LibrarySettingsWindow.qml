import QtQuick
import QtQuick.Controls.Basic
import Kestrune.MediaPlayer

// Stands in for the library's folders and settings until the window is built: an empty window that opens.
Window {
    id: window

    function openWindow() {
        show()
        raise()
        requestActivate()
    }

    title: qsTr("Library Folders & Settings")
    width: 640
    height: 420
    color: "#16181d"

    DarkWindowPane {
        Label {
            text: qsTr("Not available in this build.")
            color: "#9ca3af"
        }
    }
}
