import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Templates as T
import Kestrune.MediaPlayer

// "Library Folders & Settings": the library's folders and exclusions, the scanner, the rescan interval,
// backups with their restore, and the exports. Everything shown comes from Library; the window keeps only
// the last result message and the backup list, which it reads when created and after each backup it makes.
Window {
    id: root

    // The last outcome of an export, backup or restore.
    property string msg
    property var backupList: []

    readonly property var library: typeof Library !== "undefined" ? Library : null
    // Announced by the library on its edits, while and after its scans, and when a folder goes or comes back.
    readonly property var folders: library && library.folders ? library.folders : []
    readonly property var excluded: library && library.excludedFolders ? library.excludedFolders : []
    readonly property bool scanning: library ? library.scanning === true : false
    readonly property bool scanPaused: library ? library.scanPaused === true : false
    readonly property var scanStatus: library && library.scanStatus ? library.scanStatus : ({})

    function openWindow() {
        show()
        raise()
        requestActivate()
    }

    function fmtDate(secs) {
        return secs > 0 ? Qt.formatDateTime(new Date(secs * 1000), "yyyy-MM-dd HH:mm") : qsTr("never")
    }

    function reloadBackups() {
        backupList = library && library.backups ? library.backups() : []
    }

    function backUpNow() {
        if (!library)
            return
        msg = library.backupNow() ? qsTr("Backup saved.") : qsTr("Backup failed.")
        reloadBackups()
    }

    // Opens an export picker with name suggested in the Documents folder.
    function exportWith(loader, name) {
        loader.active = true
        loader.item.suggest(name)
        loader.item.open()
    }

    function scanLine() {
        const s = scanStatus
        if (scanning)
            return qsTr("Scanning: %1 of %2 · %3").arg(s.processed || 0).arg(s.found || 0).arg(s.current || "")
        const leftOut = s.leftOut || 0
        if (!(s.processed > 0) && leftOut === 0)
            return ""
        const line = qsTr("Last scan: %1 added, %2 updated, %3 missing").arg(s.added || 0).arg(s.updated || 0)
            .arg(s.removed || 0)
        if (leftOut === 0)
            return line
        // Which files and why is in the log, one line each; this only says that there are some.
        return line + " · " + (leftOut === 1 ? qsTr("1 file could not be read; see the log")
                                             : qsTr("%1 files could not be read; see the log").arg(leftOut))
    }

    title: qsTr("Library Folders & Settings")
    width: 640
    height: 620
    minimumWidth: 520
    minimumHeight: 480
    color: "#16181d"
    flags: Qt.Window | Qt.WindowTitleHint | Qt.WindowCloseButtonHint

    Component.onCompleted: reloadBackups()

    component Heading: Label {
        topPadding: 6
        color: "#e8eaed"
        font.family: "Segoe UI"
        font.pixelSize: 13
        font.weight: Font.DemiBold
    }

    component Hint: Label {
        Layout.fillWidth: true
        color: "#6b7079"
        font.family: "Segoe UI"
        font.pixelSize: 11
        wrapMode: Text.WordWrap
    }

    component Caption: Label {
        color: "#c9ccd1"
        font.family: "Segoe UI"
        font.pixelSize: 12
    }

    // Whole numbers typed or stepped; the validator and the range keep every value inside from..to.
    component NumberSpin: SpinBox {
        editable: true
        implicitWidth: 120
        implicitHeight: 28
        font.family: "JetBrains Mono"
        font.pixelSize: 12
    }

    FileChooser {
        id: addDlg
        fileMode: FileChooser.Folder
        objectName: "addDlg"
        title: qsTr("Add Library Folder")
        onAccepted: {
            if (root.library)
                root.library.addFolder(String(selectedFolder))
        }
    }

    FileChooser {
        id: exclDlg
        fileMode: FileChooser.Folder
        objectName: "exclDlg"
        title: qsTr("Exclude a Subfolder")
        onAccepted: {
            if (root.library)
                root.library.excludeFolder(String(selectedFolder))
        }
    }

    DarkWindowPane {
        id: pane

        // The export pickers are made on first use: most visits to this window export nothing.
        Loader {
            id: csvDlg
            active: false
            sourceComponent: ExportDialog {
                objectName: "csvDlg"
                title: qsTr("Export Library (CSV)")
                nameFilters: ["CSV (*.csv)"]
                defaultSuffix: "csv"
                onAccepted: {
                    if (root.library)
                        root.msg = root.library.exportCsv(String(selectedFile)) ? qsTr("Exported.")
                                                                                 : qsTr("Could not write the file.")
                }
            }
        }

        Loader {
            id: jsonDlg
            active: false
            sourceComponent: ExportDialog {
                objectName: "jsonDlg"
                title: qsTr("Export Library (JSON)")
                nameFilters: ["JSON (*.json)"]
                defaultSuffix: "json"
                onAccepted: {
                    if (root.library)
                        root.msg = root.library.exportJson(String(selectedFile)) ? qsTr("Exported.")
                                                                                  : qsTr("Could not write the file.")
                }
            }
        }

        DarkDialog {
            id: restoreDlg
            objectName: "restoreDlg"

            // The backup's path and its date as the list shows it.
            property string file
            property string when

            parent: T.Overlay.overlay
            width: 420
            title: qsTr("Restore Library")
            standardButtons: Dialog.Ok | Dialog.Cancel

            onAccepted: {
                if (root.library)
                    root.msg = root.library.restoreBackup(file) ? qsTr("Restart the player to finish restoring.")
                                                                : qsTr("The backup could not be read.")
            }

            Label {
                objectName: "restoreText"
                width: parent ? parent.width : implicitWidth
                text: qsTr("Replace the library with the backup from %1? Changes since then (ratings, plays, edits, "
                           + "playlists) are lost. The restore happens the next time the player starts.")
                          .arg(restoreDlg.when)
                textFormat: Text.PlainText
                wrapMode: Text.Wrap
                color: "#c9ccd1"
                font.family: "Segoe UI"
                font.pixelSize: 12
            }
        }

        ScrollView {
            id: scroller
            objectName: "scroller"
            anchors.fill: parent
            contentWidth: availableWidth
            clip: true

            ColumnLayout {
                width: scroller.availableWidth
                spacing: 8

                Heading {
                    text: qsTr("Folders")
                }
                Hint {
                    text: qsTr("Everything inside these folders is indexed in the background and kept up to date as "
                               + "files change.")
                }

                Repeater {
                    objectName: "folderRows"
                    model: root.folders

                    Rectangle {
                        required property var modelData

                        objectName: "folderRow"
                        Layout.fillWidth: true
                        implicitHeight: 44
                        radius: 4
                        color: "#1c1f26"

                        RowLayout {
                            anchors.fill: parent
                            anchors.leftMargin: 10
                            anchors.rightMargin: 6
                            spacing: 8

                            ColumnLayout {
                                Layout.fillWidth: true
                                spacing: 2

                                Label {
                                    objectName: "folderPath"
                                    Layout.fillWidth: true
                                    text: String(modelData.path)
                                    textFormat: Text.PlainText
                                    elide: Text.ElideMiddle
                                    color: "#e8eaed"
                                    font.family: "Segoe UI"
                                    font.pixelSize: 12
                                }
                                Label {
                                    objectName: "folderStatus"
                                    Layout.fillWidth: true
                                    text: (modelData.online ? qsTr("%1 items").arg(modelData.items)
                                                            : qsTr("Not reachable — items kept, marked missing only "
                                                                   + "after it is back"))
                                          + "  ·  " + qsTr("last full scan %1").arg(root.fmtDate(modelData.lastScan))
                                    textFormat: Text.PlainText
                                    elide: Text.ElideRight
                                    color: modelData.online ? "#6b7079" : "#f0b35b"
                                    font.family: "Segoe UI"
                                    font.pixelSize: 10
                                }
                            }
                            DarkButton {
                                objectName: "removeFolderButton"
                                text: qsTr("Remove")
                                onClicked: root.library.removeFolder(modelData.path)
                            }
                        }
                    }
                }

                RowLayout {
                    spacing: 8

                    DarkButton {
                        objectName: "addFolderButton"
                        accent: true
                        text: qsTr("Add Folder...")
                        onClicked: addDlg.open()
                    }
                    DarkButton {
                        objectName: "scanNowButton"
                        text: qsTr("Scan Now")
                        enabled: root.folders.length > 0 && !root.scanning
                        onClicked: root.library.scanNow()
                    }
                    DarkButton {
                        objectName: "scanPauseButton"
                        text: root.scanPaused ? qsTr("Resume") : qsTr("Pause")
                        visible: root.scanning
                        onClicked: root.library.pauseScan(!root.scanPaused)
                    }
                    DarkButton {
                        objectName: "scanStopButton"
                        text: qsTr("Stop")
                        visible: root.scanning
                        onClicked: root.library.cancelScan()
                    }
                }

                Label {
                    objectName: "scanLine"
                    Layout.fillWidth: true
                    text: root.scanLine()
                    textFormat: Text.PlainText
                    elide: Text.ElideMiddle
                    color: "#9ca3af"
                    font.family: "Segoe UI"
                    font.pixelSize: 11
                }

                Heading {
                    text: qsTr("Excluded subfolders")
                }

                Repeater {
                    objectName: "excludedRows"
                    model: root.excluded

                    RowLayout {
                        required property string modelData

                        objectName: "excludedRow"
                        Layout.fillWidth: true
                        spacing: 8

                        Label {
                            objectName: "excludedPath"
                            Layout.fillWidth: true
                            text: modelData
                            textFormat: Text.PlainText
                            elide: Text.ElideMiddle
                            color: "#c9ccd1"
                            font.family: "Segoe UI"
                            font.pixelSize: 12
                        }
                        DarkButton {
                            objectName: "includeButton"
                            text: qsTr("Include again")
                            onClicked: root.library.includeFolder(modelData)
                        }
                    }
                }

                Hint {
                    objectName: "noExclusions"
                    visible: root.excluded.length === 0
                    text: qsTr("None. Hidden files and folders are always skipped.")
                }

                DarkButton {
                    objectName: "excludeButton"
                    text: qsTr("Exclude a Subfolder...")
                    enabled: root.folders.length > 0
                    onClicked: exclDlg.open()
                }

                Heading {
                    text: qsTr("Scanning")
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8

                    Caption {
                        text: qsTr("Full check for changes every")
                    }
                    NumberSpin {
                        objectName: "rescanSpin"
                        from: 1
                        to: 720
                        value: root.library && root.library.rescanHours !== undefined ? root.library.rescanHours : 24
                        onValueModified: {
                            if (root.library)
                                root.library.rescanHours = value
                        }
                    }
                    Caption {
                        Layout.fillWidth: true
                        text: qsTr("hours (folder changes are picked up right away)")
                        elide: Text.ElideRight
                    }
                }

                Heading {
                    text: qsTr("Backups")
                }
                Hint {
                    text: qsTr("The library database (ratings, play counts, edits, playlists) is backed up daily.")
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8

                    Caption {
                        text: qsTr("Keep backups for")
                    }
                    NumberSpin {
                        objectName: "retentionSpin"
                        from: 1
                        to: 90
                        value: root.library && root.library.backupRetentionDays !== undefined
                               ? root.library.backupRetentionDays : 7
                        onValueModified: {
                            if (root.library)
                                root.library.backupRetentionDays = value
                        }
                    }
                    Caption {
                        text: qsTr("days")
                    }
                    Item {
                        Layout.fillWidth: true
                    }
                    DarkButton {
                        objectName: "backUpButton"
                        text: qsTr("Back Up Now")
                        onClicked: root.backUpNow()
                    }
                }

                Repeater {
                    objectName: "backupRows"
                    model: root.backupList

                    RowLayout {
                        required property var modelData

                        objectName: "backupRow"
                        Layout.fillWidth: true
                        spacing: 8

                        Caption {
                            objectName: "backupLabel"
                            Layout.fillWidth: true
                            text: modelData.date + "   " + Math.round(Number(modelData.size) / 1024) + " KB"
                            textFormat: Text.PlainText
                            elide: Text.ElideRight
                        }
                        DarkButton {
                            objectName: "restoreButton"
                            text: qsTr("Restore...")
                            onClicked: {
                                restoreDlg.file = modelData.file
                                restoreDlg.when = modelData.date
                                restoreDlg.open()
                            }
                        }
                    }
                }

                Heading {
                    text: qsTr("Export")
                }

                RowLayout {
                    spacing: 8

                    DarkButton {
                        objectName: "exportCsvButton"
                        text: qsTr("Export CSV...")
                        onClicked: root.exportWith(csvDlg, "library.csv")
                    }
                    DarkButton {
                        objectName: "exportJsonButton"
                        text: qsTr("Export JSON...")
                        onClicked: root.exportWith(jsonDlg, "library.json")
                    }
                }

                Label {
                    objectName: "settingsMessage"
                    Layout.fillWidth: true
                    text: root.msg
                    textFormat: Text.PlainText
                    wrapMode: Text.WordWrap
                    color: "#9ca3af"
                    font.family: "Segoe UI"
                    font.pixelSize: 11
                }

                Item {
                    implicitHeight: 10
                }
            }
        }
    }
}
