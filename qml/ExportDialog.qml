import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Dialogs
import QtQuick.Templates as T
import QtCore
import Kestrune.MediaPlayer

// The save dialog of every library export. Qt Quick's own file dialog (the one that runs without a desktop
// dialog helper) never asks before replacing a file, so this asks itself, and a desktop dialog is told not
// to ask as well, so nobody is asked twice.
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

    FileDialog {
        id: fileDialog
        objectName: "fileDialog"
        fileMode: FileDialog.SaveFile
        options: FileDialog.DontConfirmOverwrite
        // Found by itself only when the window existed as the dialog was completed.
        parentWindow: root.Window.window
        currentFolder: StandardPaths.writableLocation(StandardPaths.DocumentsLocation)

        onAccepted: {
            // A typed name comes back from Qt Quick's own dialog as a URL without a scheme, parsed from its
            // text; the path is put together again and made a file URL.
            let path = FileUrls.localPath(selectedFile)
            if (!path) {
                // Not a local file: the user's export reports that it could not write it.
                root.selectedFile = selectedFile
                root.accepted()
                return
            }
            const text = selectedFile.toString()
            const cut = text.search(/[?#]/)
            if (!text.startsWith("file:") && cut >= 0 && defaultSuffix !== "") {
                // That dialog gave the default suffix to the name as cut at its "?" or "#", not to the name.
                const head = FileUrls.localPath(text.substring(0, cut))
                const added = "." + defaultSuffix
                if (head.endsWith(added)) {
                    path = head.slice(0, -added.length) + path.substring(head.length)
                    if (path.substring(path.lastIndexOf("/") + 1).indexOf(".") < 0)
                        path += added
                }
            }
            // The root folder and the path below it: the file URL of exactly that path.
            root.selectedFile = FileUrls.fileUrl("file:///", path.substring(1))
            if (FileUrls.exists(root.selectedFile)) {
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
