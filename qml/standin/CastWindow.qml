import QtQuick
import QtQuick.Controls.Basic
import Kestrune.MediaPlayer

// Stands in for the casting window until it is built: it opens empty, but keeps discovery asking while it is
// on screen, as the real one will.
Window {
    id: window

    function openWindow() {
        show()
        raise()
        requestActivate()
        if (typeof Cast !== "undefined")
            Cast.setMenuOpen(true)
    }

    onVisibleChanged: {
        if (!visible && typeof Cast !== "undefined")
            Cast.setMenuOpen(false)
    }

    title: qsTr("Casting")
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
