import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Templates as T
import Kestrune.MediaPlayer

// The save dialog of every library export and of the playlist. The player's own dialog never asks before
// replacing a file, so this asks itself; the desktop's chooser has asked already, and is not asked after.
Item {
    id: root

    property alias title: fileDialog.title
    property alias nameFilters: fileDialog.nameFilters
    property alias defaultSuffix: fileDialog.defaultSuffix
    property alias currentFolder: fileDialog.currentFolder
    // The file to suggest, and once accepted the chosen one, always a file URL.
    property url selectedFile

    // Emitted once the chosen file may be written: it is new, or the user agreed to replace it.
    signal accepted()

    // Fills in name inside the current folder; the name is used exactly as given.
    function suggest(name) {
        selectedFile = FileUrls.fileUrl(fileDialog.currentFolder, name)
    }

    function open() {
        fileDialog.open()
    }

    onSelectedFileChanged: fileDialog.selectedFile = selectedFile

    FileChooser {
        id: fileDialog
        objectName: "fileDialog"
        fileMode: FileChooser.SaveFile

        onAccepted: {
            root.selectedFile = selectedFile
            const path = FileUrls.localPath(selectedFile)
            if (path !== "" && !answeredByDesktop && FileUrls.exists(selectedFile)) {
                replacePrompt.fileName = path.substring(path.lastIndexOf("/") + 1)
                replacePrompt.open()
            } else {
                root.accepted()
            }
        }
    }

    DarkDialog {
        id: replacePrompt
        objectName: "replacePrompt"

        property string fileName

        parent: T.Overlay.overlay
        width: Math.min(460, parent ? parent.width - 40 : 460)
        title: root.title
        standardButtons: Dialog.Ok | Dialog.Cancel

        onAccepted: root.accepted()

        Component.onCompleted: standardButton(Dialog.Ok).text = qsTr("Replace")

        Label {
            objectName: "replaceQuestion"
            width: parent.width
            text: qsTr("\"%1\" already exists. Replace it?").arg(replacePrompt.fileName)
            textFormat: Text.PlainText
            wrapMode: Text.WrapAnywhere
            color: "#e8eaed"
            font.family: "Segoe UI"
            font.pixelSize: 12
        }
    }
}
