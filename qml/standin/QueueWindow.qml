import QtQuick
import QtQuick.Controls.Basic
import Kestrune.MediaPlayer

// Stands in for the conversion queue until the window is built: an empty window that opens.
Window {
    id: window

    signal adjust(var settings)

    function openWindow() {
        show()
        raise()
        requestActivate()
    }

    title: qsTr("Conversion Queue")
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
