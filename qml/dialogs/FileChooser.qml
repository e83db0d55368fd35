import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Templates as T
import Qt.labs.folderlistmodel
import Kestrune.MediaPlayer

// The file and folder dialog of every window. Where the session bus offers the desktop's file chooser (the
// freedesktop portal) that one is asked; everywhere else, and when the portal answers with an error, the
// player's own dark dialog opens: a path field, the folder's list, a name field and the name filters. Return
// accepts, Esc cancels. Selections come back as file URLs, as Qt Quick Dialogs give them.
Item {
    id: chooser

    enum Mode {
        OpenFile,
        OpenFiles,
        SaveFile,
        Folder
    }

    property string title
    property int fileMode: FileChooser.OpenFile
    property var nameFilters: []
    // Added to a saved name that has no suffix of its own.
    property string defaultSuffix
    property url currentFolder: FileUrls.startFolder()
    property url selectedFile
    property var selectedFiles: []
    property url selectedFolder
    // Whether the last accepted choice was the desktop's: its save chooser has asked before replacing.
    readonly property bool answeredByDesktop: answeredByPortal
    // The own dialog, for tests and screenshots.
    readonly property alias dialog: own

    property bool answeredByPortal: false
    // Set while a question to the portal is out; cleared once the user's answer (or our own dialog) took over.
    property bool waitingForPortal: false

    signal accepted()
    signal rejected()

    // Only while a choice is being made: so "visible" reads like a dialog's.
    visible: own.visible || waitingForPortal
    width: 0
    height: 0

    readonly property bool saving: fileMode === FileChooser.SaveFile
    readonly property bool folderMode: fileMode === FileChooser.Folder
    readonly property string acceptText: saving ? qsTr("Save") : folderMode ? qsTr("Choose Folder") : qsTr("Open")

    function open() {
        answeredByPortal = false
        if (typeof Portal !== "undefined" && !Portal.busy) {
            const name = saving ? FileUrls.localPath(selectedFile) : ""
            const options = {
                mode: folderMode ? "folder" : saving ? "save" : fileMode === FileChooser.OpenFiles ? "openMany" : "open",
                title: title,
                acceptLabel: acceptText,
                nameFilters: nameFilters,
                currentName: name.substring(name.lastIndexOf("/") + 1),
                currentFolder: currentFolder,
                window: chooser.Window.window
            }
            if (Portal.ask(options)) {
                waitingForPortal = true
                return
            }
        }
        showOwn()
    }

    function close() {
        waitingForPortal = false
        own.close()
    }

    // Takes the choice as it stands, as the accept button does.
    function accept() {
        waitingForPortal = false
        own.tryAccept()
    }

    function reject() {
        waitingForPortal = false
        if (own.visible)
            own.reject()
        else
            rejected()
    }

    function showOwn() {
        own.prepare()
        own.open()
    }

    // "Name (*.a *.b)" into its patterns; "*" for a text without any.
    function patternsOf(filter) {
        const match = /\(([^()]*)\)\s*$/.exec(String(filter))
        const patterns = match ? match[1].split(" ").filter(p => p !== "") : []
        return patterns.length > 0 ? patterns : ["*"]
    }

    onSelectedFileChanged: {
        const path = FileUrls.localPath(selectedFile)
        if (path === "")
            return
        const folder = FileUrls.folderUrl(path)
        if (String(folder) !== "")
            currentFolder = folder
        own.typedName = path.substring(path.lastIndexOf("/") + 1)
    }

    Connections {
        target: typeof Portal !== "undefined" ? Portal : null
        enabled: chooser.waitingForPortal

        function onFinished(accepted, urls) {
            chooser.waitingForPortal = false
            if (!accepted) {
                chooser.rejected()
                return
            }
            chooser.answeredByPortal = true
            if (chooser.folderMode) {
                chooser.selectedFolder = urls[0]
            } else {
                chooser.selectedFiles = urls
                chooser.selectedFile = urls[0]
            }
            chooser.accepted()
        }

        function onUnavailable(reason) {
            chooser.waitingForPortal = false
            chooser.showOwn()
        }
    }

    DarkDialog {
        id: own
        objectName: "fileChooserDialog"

        // The name field's text: what the user typed, or the name of the file chosen in the list.
        property string typedName
        property string error
        // Rows picked in the list (indexes), for opening several files at once.
        property var picked: []
        // Set while a pick moves the list's current row, so the move is not taken for a new pick.
        property bool picking: false

        parent: T.Overlay.overlay
        width: parent ? Math.min(760, parent.width - 24) : 760
        height: parent ? Math.min(540, parent.height - 24) : 540
        title: chooser.title

        // Resets what the last use left behind.
        function prepare() {
            error = ""
            picked = []
            list.currentIndex = -1
            pathField.text = FileUrls.localPath(chooser.currentFolder)
            if (chooser.folderMode)
                chooser.selectedFolder = chooser.currentFolder
        }

        function go(folderUrl) {
            chooser.currentFolder = folderUrl
            pathField.text = FileUrls.localPath(folderUrl)
            picked = []
            error = ""
            list.currentIndex = -1
            if (chooser.folderMode)
                chooser.selectedFolder = folderUrl
        }

        function goUp() {
            const path = FileUrls.localPath(chooser.currentFolder)
            if (path === "/" || path === "")
                return
            const up = FileUrls.folderUrl(path.replace(/\/+$/, ""))
            if (String(up) !== "")
                go(up)
        }

        // A typed text as a path: absolute as written, else inside the current folder.
        function pathOf(text) {
            if (text.startsWith("/"))
                return text
            if (text === "~" || text.startsWith("~/"))
                return FileUrls.localPath(FileUrls.homeFolder()) + text.substring(1)
            const folder = FileUrls.localPath(chooser.currentFolder)
            return (folder.endsWith("/") ? folder : folder + "/") + text
        }

        // The path field's Return: a folder is entered; in an open dialog a file is taken.
        function goToTyped() {
            const text = pathField.text.trim()
            if (text === "")
                return
            const url = FileUrls.fromLocalPath(pathOf(text))
            if (FileUrls.isFolder(url)) {
                go(url)
                nameField.forceActiveFocus()
            } else if (!chooser.saving && !chooser.folderMode && FileUrls.exists(url)) {
                finish([url])
            } else {
                error = qsTr("\"%1\" is not a folder.").arg(text)
            }
        }

        function finish(urls) {
            chooser.waitingForPortal = false
            if (chooser.folderMode) {
                chooser.selectedFolder = urls[0]
            } else {
                chooser.selectedFiles = urls
                chooser.selectedFile = urls[0]
            }
            // The next open starts with an empty name; a save keeps the last name as its suggestion.
            if (!chooser.saving)
                typedName = ""
            // close() before the signal: a caller that opens another prompt gets the focus.
            close()
            chooser.accepted()
        }

        function tryAccept() {
            error = ""
            // A folder dialog takes the folder picked in the list, else the one it shows, empty or not.
            if (chooser.folderMode) {
                finish([String(chooser.selectedFolder) !== "" ? chooser.selectedFolder : chooser.currentFolder])
                return
            }
            const name = typedName.trim()
            if (name === "") {
                // Several files picked in the list: all of them.
                if (!chooser.saving && picked.length > 0) {
                    const urls = []
                    for (const index of picked.slice().sort((a, b) => a - b)) {
                        const url = folderModel.get(index, "fileUrl")
                        if (!folderModel.get(index, "fileIsDir"))
                            urls.push(url)
                    }
                    if (urls.length > 0) {
                        finish(chooser.fileMode === FileChooser.OpenFiles ? urls : [urls[0]])
                        return
                    }
                }
                error = chooser.saving ? qsTr("Type a name for the file.") : qsTr("Choose a file.")
                return
            }
            let path = pathOf(name)
            let url = FileUrls.fromLocalPath(path)
            if (FileUrls.isFolder(url)) {
                go(url)
                typedName = ""
                return
            }
            if (chooser.saving) {
                const base = path.substring(path.lastIndexOf("/") + 1)
                if (chooser.defaultSuffix !== "" && base.indexOf(".") < 0) {
                    path += "." + chooser.defaultSuffix
                    url = FileUrls.fromLocalPath(path)
                }
                if (!FileUrls.isFolder(FileUrls.folderUrl(path))) {
                    error = qsTr("The folder of \"%1\" does not exist.").arg(name)
                    return
                }
                finish([url])
                return
            }
            if (!FileUrls.exists(url)) {
                error = qsTr("\"%1\" does not exist.").arg(name)
                return
            }
            finish([url])
        }

        // A row chosen with Return or a double click: a folder is entered, a file taken.
        function activate(index) {
            if (index < 0 || index >= folderModel.count)
                return
            const url = folderModel.get(index, "fileUrl")
            if (folderModel.get(index, "fileIsDir")) {
                go(url)
                return
            }
            if (chooser.folderMode)
                return
            typedName = folderModel.get(index, "fileName")
            tryAccept()
        }

        function pick(index, modifiers) {
            picking = true
            list.currentIndex = index
            picking = false
            const isDir = folderModel.get(index, "fileIsDir")
            if ((modifiers & Qt.ControlModifier) && chooser.fileMode === FileChooser.OpenFiles && !isDir) {
                const next = picked.slice()
                const at = next.indexOf(index)
                if (at >= 0)
                    next.splice(at, 1)
                else
                    next.push(index)
                picked = next
                typedName = next.length === 1 ? folderModel.get(next[0], "fileName") : ""
                return
            }
            picked = [index]
            if (chooser.folderMode)
                chooser.selectedFolder = folderModel.get(index, "fileUrl")
            else if (!isDir)
                typedName = folderModel.get(index, "fileName")
        }

        onOpened: (chooser.folderMode ? list : nameField).forceActiveFocus()
        onRejected: {
            chooser.waitingForPortal = false
            chooser.rejected()
        }

        FolderListModel {
            id: folderModel
            folder: chooser.currentFolder
            showDirs: true
            showDirsFirst: true
            showDotAndDotDot: false
            showHidden: false
            showFiles: !chooser.folderMode
            // Camera files in capitals match "*.mp4" too.
            caseSensitive: false
            sortCaseSensitive: false
            nameFilters: chooser.folderMode || filterBox.currentIndex < 0 || chooser.nameFilters.length === 0
                         ? [] : chooser.patternsOf(chooser.nameFilters[filterBox.currentIndex])
        }

        component Field: TextField {
            id: field
            Layout.fillWidth: true
            selectByMouse: true
            color: "#e8eaed"
            selectionColor: "#ff5b22"
            selectedTextColor: "#ffffff"
            font.family: "Segoe UI"
            font.pixelSize: 12
            background: Rectangle {
                implicitHeight: 28
                radius: 3
                color: "#1c1f26"
                border.color: field.activeFocus ? "#ff5b22" : "#3a3d44"
            }
        }

        ColumnLayout {
            anchors.fill: parent
            spacing: 8

            RowLayout {
                Layout.fillWidth: true
                spacing: 6

                DarkButton {
                    objectName: "upButton"
                    text: "\u2191"
                    implicitWidth: 28
                    implicitHeight: 28
                    enabled: FileUrls.localPath(chooser.currentFolder) !== "/"
                    onClicked: own.goUp()
                }
                Field {
                    id: pathField
                    objectName: "pathField"
                    // Return enters the typed folder; it never accepts the dialog by itself.
                    onAccepted: own.goToTyped()
                }
            }

            Rectangle {
                Layout.fillWidth: true
                Layout.fillHeight: true
                color: "#1c1f26"
                border.color: "#3a3d44"
                radius: 3

                ListView {
                    id: list
                    objectName: "chooserList"
                    anchors.fill: parent
                    anchors.margins: 1
                    clip: true
                    currentIndex: -1
                    model: folderModel
                    boundsBehavior: Flickable.StopAtBounds
                    keyNavigationEnabled: true
                    ScrollBar.vertical: ScrollBar {
                        policy: ScrollBar.AsNeeded
                    }

                    Keys.onReturnPressed: own.activate(currentIndex)
                    Keys.onEnterPressed: own.activate(currentIndex)
                    Keys.onPressed: event => {
                        if (event.key === Qt.Key_Backspace) {
                            own.goUp()
                            event.accepted = true
                        }
                    }
                    // The arrow keys pick as a click does.
                    onCurrentIndexChanged: {
                        if (!own.picking && activeFocus && currentIndex >= 0)
                            own.pick(currentIndex, 0)
                    }

                    delegate: Rectangle {
                        id: row

                        required property int index
                        required property string fileName
                        required property url fileUrl
                        required property bool fileIsDir
                        required property var fileSize
                        readonly property bool isFolder: fileIsDir
                        readonly property url url: fileUrl
                        readonly property bool isPicked: own.picked.indexOf(index) >= 0

                        objectName: "chooserRow" + index
                        width: ListView.view.width
                        height: 26
                        color: isPicked ? "#3a3d44" : rowMouse.containsMouse ? "#232730" : "transparent"

                        Text {
                            id: kind
                            x: 8
                            width: 18
                            anchors.verticalCenter: parent.verticalCenter
                            text: row.fileIsDir ? "\u25b8" : ""
                            color: "#ff7a45"
                            font.pixelSize: 12
                        }
                        Text {
                            objectName: "rowName"
                            anchors.left: kind.right
                            anchors.right: sizeText.left
                            anchors.rightMargin: 8
                            anchors.verticalCenter: parent.verticalCenter
                            // Names are data: "<b>" and "&" show as they are.
                            text: row.fileName + (row.fileIsDir ? "/" : "")
                            textFormat: Text.PlainText
                            elide: Text.ElideMiddle
                            color: row.isPicked ? "#ffffff" : "#e8eaed"
                            font.family: "Segoe UI"
                            font.pixelSize: 12
                        }
                        Text {
                            id: sizeText
                            anchors.right: parent.right
                            anchors.rightMargin: 10
                            anchors.verticalCenter: parent.verticalCenter
                            text: row.fileIsDir ? "" : chooser.sizeText(Number(row.fileSize))
                            color: "#9ca3af"
                            font.family: "JetBrains Mono"
                            font.pixelSize: 10
                        }
                        MouseArea {
                            id: rowMouse
                            anchors.fill: parent
                            hoverEnabled: true
                            onClicked: mouse => {
                                list.forceActiveFocus()
                                own.pick(row.index, mouse.modifiers)
                            }
                            onDoubleClicked: own.activate(row.index)
                        }
                    }
                }

                Text {
                    objectName: "emptyFolder"
                    anchors.centerIn: parent
                    visible: folderModel.status === FolderListModel.Ready && folderModel.count === 0
                    text: chooser.folderMode ? qsTr("No folders here") : qsTr("Nothing here matches")
                    color: "#5f646d"
                    font.family: "Segoe UI"
                    font.pixelSize: 12
                }
            }

            RowLayout {
                Layout.fillWidth: true
                spacing: 8
                visible: !chooser.folderMode

                Label {
                    text: qsTr("File name")
                    color: "#9ca3af"
                    font.family: "Segoe UI"
                    font.pixelSize: 12
                }
                Field {
                    id: nameField
                    objectName: "nameField"
                    text: own.typedName
                    onTextEdited: {
                        own.typedName = text
                        own.picked = []
                    }
                    onAccepted: own.tryAccept()
                }
                DarkCombo {
                    id: filterBox
                    objectName: "filterBox"
                    visible: chooser.nameFilters.length > 0
                    implicitWidth: 220
                    model: chooser.nameFilters
                    currentIndex: chooser.nameFilters.length > 0 ? 0 : -1
                }
            }
        }

        footer: RowLayout {
            spacing: 8

            Text {
                objectName: "chooserError"
                Layout.fillWidth: true
                Layout.leftMargin: 14
                Layout.bottomMargin: 14
                text: own.error
                textFormat: Text.PlainText
                elide: Text.ElideRight
                color: "#ff7a45"
                font.family: "Segoe UI"
                font.pixelSize: 12
            }
            DarkButton {
                objectName: "chooserCancel"
                Layout.bottomMargin: 14
                implicitWidth: Math.max(76, implicitContentWidth + leftPadding + rightPadding)
                text: qsTr("Cancel")
                onClicked: own.reject()
            }
            DarkButton {
                objectName: "chooserAccept"
                Layout.bottomMargin: 14
                Layout.rightMargin: 14
                implicitWidth: Math.max(76, implicitContentWidth + leftPadding + rightPadding)
                accent: true
                text: chooser.acceptText
                onClicked: own.tryAccept()
            }
        }
    }

    function sizeText(bytes) {
        if (!(bytes >= 0))
            return ""
        if (bytes < 1024)
            return bytes + " B"
        if (bytes < 1024 * 1024)
            return (bytes / 1024).toFixed(0) + " KB"
        if (bytes < 1024 * 1024 * 1024)
            return (bytes / 1024 / 1024).toFixed(1) + " MB"
        return (bytes / 1024 / 1024 / 1024).toFixed(1) + " GB"
    }
}
