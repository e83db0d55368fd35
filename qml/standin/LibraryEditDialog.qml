import QtQuick
import QtQuick.Controls.Basic
import Kestrune.MediaPlayer

// Stands in for the library's tag editor until it is built: it opens for the items, edits nothing.
DarkDialog {
    id: dialog

    function openFor(ids) {
        if (!ids || ids.length === 0)
            return
        taken.ids = Array.from(ids)
        open()
    }

    title: taken.ids.length === 1 ? qsTr("Edit Info") : qsTr("Edit %1 Items").arg(taken.ids.length)
    standardButtons: Dialog.Close
    width: 420

    QtObject {
        id: taken
        property var ids: []
    }

    Label {
        objectName: "editItems"
        text: taken.ids.join(", ")
        color: "#9ca3af"
    }
}
