import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Templates as T
import Kestrune.MediaPlayer

// The prompt before items leave the library, or go to the trash with their files.
DarkDialog {
    id: removeDlg
    objectName: "removeDialog"

    // The LibraryView that asks: its error strip and selection.
    required property var view
    // The item ids, and whether their files go to the trash too.
    property var ids: []
    property bool deleting: false

    parent: T.Overlay.overlay
    width: 420
    title: deleting ? qsTr("Delete Files") : qsTr("Remove from Library")
    standardButtons: Dialog.Ok | Dialog.Cancel

    onAccepted: {
        if (view.hasLibrary && ids.length > 0) {
            if (deleting) {
                const error = Library.deleteFiles(ids)
                if (error !== "")
                    view.errorText.show(error)
            } else {
                Library.removeSources(ids)
            }
        }
        view.clearSelection()
    }

    Text {
        objectName: "removeText"
        width: parent.width
        wrapMode: Text.Wrap
        textFormat: Text.PlainText
        color: "#c9ccd1"
        font.family: "Segoe UI"
        font.pixelSize: 12
        text: removeDlg.deleting
              ? qsTr("Move %n file(s) to the Trash and remove them from the library?", "", removeDlg.ids.length)
              : qsTr("Remove %n item(s) from the library? The files stay on disk. Items still inside a library folder come back at the next scan unless the folder is excluded.",
                     "", removeDlg.ids.length)
    }
}
