import QtQuick
import QtQuick.Controls.Basic
import Kestrune.MediaPlayer

// Stands in for the update dialog until it is built: it opens, but checks nothing.
DarkDialog {
    id: dialog

    function checkNow() {
        open()
    }

    title: qsTr("Check for Updates")
    standardButtons: Dialog.Close
    width: 420

    Label {
        text: qsTr("Update checks are not available in this build.")
        color: "#9ca3af"
    }
}
