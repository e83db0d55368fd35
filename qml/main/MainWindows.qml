import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtQuick.Templates as T
import Kestrune.MediaPlayer

// The main window's other windows and dialogs, with the file choosers, the quit prompt and the About box. The
// window's parts reach them through the window's `windows`, by the names below.
Item {
    id: windows

    // The main window: the windows made here hang from it; it takes what the choosers hand over and shows the
    // conversion queue's messages.
    required property var host

    readonly property alias infoDialog: infoDialog
    readonly property alias prefsDialog: prefsDialog
    readonly property alias shortcutsDialog: shortcutsDialog
    readonly property alias urlDialog: urlDialog
    readonly property alias fxDialog: fxDialog
    readonly property alias libraryEdit: libraryEdit
    readonly property alias librarySettings: librarySettings
    readonly property alias castWindow: castWindow
    readonly property alias updateDialog: updateDialog
    readonly property alias convertDialog: convertDialog
    readonly property alias queueWindow: queueWindow
    readonly property alias openDialog: openDialog
    readonly property alias folderDialog: folderDialog
    readonly property alias subtitleDialog: subtitleDialog
    readonly property alias savePlaylistDialog: savePlaylistDialog
    readonly property alias quitPrompt: quitPrompt
    readonly property alias aboutDialog: aboutDialog

    // One instance of every other window, opened by id from menus, shortcuts, buttons and the library, and made
    // the first time it is asked for.
    OnDemand {
        id: infoDialog
        objectName: "infoDialog"
        parentObject: windows.host
        function open() { get().open() }
        sourceComponent: MediaInfoDialog {}
    }

    OnDemand {
        id: prefsDialog
        objectName: "prefsDialog"
        parentObject: windows.host
        function open() { get().open() }
        sourceComponent: PreferencesDialog {
            onOpenLibrarySettings: librarySettings.openWindow()
            onOpenCastSettings: castWindow.openWindow()
            onCheckForUpdates: updateDialog.checkNow()
        }
    }

    OnDemand {
        id: shortcutsDialog
        objectName: "shortcutsDialog"
        parentObject: windows.host
        function open() { get().open() }
        sourceComponent: ShortcutsDialog {}
    }

    OnDemand {
        id: urlDialog
        objectName: "urlDialog"
        parentObject: windows.host
        function open() { get().open() }
        sourceComponent: OpenUrlDialog {}
    }

    OnDemand {
        id: fxDialog
        objectName: "fxDialog"
        parentObject: windows.host
        function openDialog() { get().openDialog() }
        sourceComponent: EffectsDialog {}
    }

    OnDemand {
        id: libraryEdit
        objectName: "libraryEdit"
        parentObject: windows.host
        function openFor(list) { get().openFor(list) }
        sourceComponent: LibraryEditDialog {}
    }

    OnDemand {
        id: librarySettings
        objectName: "librarySettings"
        parentObject: windows.host
        function openWindow() { get().openWindow() }
        sourceComponent: LibrarySettingsWindow {}
    }

    OnDemand {
        id: castWindow
        objectName: "castWindow"
        parentObject: windows.host
        // Not made yet, so not on screen.
        readonly property bool visible: false
        function openWindow() { get().openWindow() }
        sourceComponent: CastWindow {}
    }

    OnDemand {
        id: updateDialog
        objectName: "updateDialog"
        parentObject: windows.host
        function checkNow() { get().checkNow() }
        sourceComponent: UpdateDialog {}
    }

    OnDemand {
        id: convertDialog
        objectName: "convertDialog"
        parentObject: windows.host
        function openWith(files) { get().openWith(files) }
        sourceComponent: ConvertDialog {
            onQueued: count => {
                if (count > 0) {
                    windows.host.osd.show(qsTr("Added %n file(s) to the conversion queue", "", count))
                    queueWindow.openWindow()
                } else {
                    windows.host.osd.show(qsTr("Nothing added"))
                }
            }
        }
    }

    OnDemand {
        id: queueWindow
        objectName: "queueWindow"
        parentObject: windows.host
        function openWindow() { get().openWindow() }
        sourceComponent: QueueWindow {
            // A failed job's "Adjust…" reopens the conversion for its source.
            onAdjust: settings => convertDialog.openWith([settings.input])
        }
    }

    // The desktop's file chooser where the bus offers one, else the player's own. Selections come back as file
    // URLs, which the player takes as they are. Each starts in Documents, else in the home folder: never in the
    // working folder.
    OnDemand {
        id: openDialog
        objectName: "openDialog"
        parentObject: windows.host
        function open() { get().open() }
        sourceComponent: FileChooser {
            title: qsTr("Open media files")
            fileMode: FileChooser.OpenFiles
            nameFilters: [
                qsTr("Media files (%1)").arg(windows.host.filePatterns(["mp4", "m4v", "mkv", "webm", "mov", "avi", "wmv", "flv",
                    "mpg", "mpeg", "ts", "m2ts", "mts", "vob", "ogv", "3gp", "mp3", "flac", "wav", "m4a", "aac", "ogg",
                    "opus", "wma", "aiff", "ape", "wv", "mka"])),
                qsTr("Playlists (%1)").arg(windows.host.filePatterns(["m3u", "m3u8", "pls"])),
                qsTr("All files (*)")
            ]
            onAccepted: windows.host.addUrls(selectedFiles)
        }
    }

    OnDemand {
        id: folderDialog
        objectName: "folderDialog"
        parentObject: windows.host
        function open() { get().open() }
        sourceComponent: FileChooser {
            fileMode: FileChooser.Folder
            title: qsTr("Add a folder to the playlist")
            onAccepted: Actions.trigger("playlist.add", String(selectedFolder))
        }
    }

    OnDemand {
        id: subtitleDialog
        objectName: "subtitleDialog"
        parentObject: windows.host
        function open() { get().open() }
        sourceComponent: FileChooser {
            title: qsTr("Add subtitle file")
            fileMode: FileChooser.OpenFile
            nameFilters: [
                qsTr("Subtitles (%1)").arg(windows.host.filePatterns(["srt", "ass", "ssa", "vtt", "sub"])),
                qsTr("All files (*)")
            ]
            onAccepted: Player.loadSubtitleFile(String(selectedFile))
        }
    }

    // The library's save dialog: it asks before replacing a file where the desktop's chooser has not.
    OnDemand {
        id: savePlaylistDialog
        objectName: "savePlaylistDialog"
        parentObject: windows.host
        function open() { get().open() }
        sourceComponent: ExportDialog {
            title: qsTr("Save playlist")
            nameFilters: [qsTr("M3U8 playlist (%1)").arg(windows.host.filePatterns(["m3u8"])),
                          qsTr("M3U playlist (%1)").arg(windows.host.filePatterns(["m3u"]))]
            defaultSuffix: "m3u8"
            onAccepted: Player.savePlaylist(String(selectedFile))
        }
    }

    // The prompt's choices, and the window's closing that may raise it.
    QuitFlow {
        id: quitFlow
        host: windows.host
        prompt: quitPrompt
    }

    DarkDialog {
        id: quitPrompt
        objectName: "quitPrompt"
        parent: T.Overlay.overlay
        width: 460
        title: qsTr("Conversions are still running")

        ColumnLayout {
            anchors.left: parent.left
            anchors.right: parent.right
            spacing: 10

            Label {
                objectName: "quitPromptText"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                color: "#9ca3af"
                text: typeof Converter === "undefined" ? ""
                    : qsTr("%n conversion(s) running, %1 waiting.", "", Converter.running).arg(Converter.pending)
            }
            DarkButton {
                objectName: "keepConvertingButton"
                Layout.fillWidth: true
                accent: true
                text: qsTr("Keep converting in the background, then quit")
                onClicked: quitFlow.keepConvertingThenQuit()
            }
            // Nothing resumes by itself at the next start: the queue window's own switch does.
            DarkButton {
                objectName: "pauseQueueButton"
                Layout.fillWidth: true
                text: qsTr("Pause the queue and quit (resume it in the conversion queue)")
                onClicked: quitFlow.pauseQueueAndQuit()
            }
            DarkButton {
                objectName: "cancelConversionsButton"
                Layout.fillWidth: true
                text: qsTr("Cancel the conversions and quit")
                onClicked: quitFlow.cancelConversionsAndQuit()
            }
            DarkButton {
                objectName: "dontQuitButton"
                Layout.fillWidth: true
                text: qsTr("Don't quit")
                onClicked: quitPrompt.close()
            }
        }
    }

    Dialog {
        id: aboutDialog
        objectName: "aboutDialog"
        parent: T.Overlay.overlay
        anchors.centerIn: parent
        modal: true
        width: 400
        title: qsTr("About")
        standardButtons: Dialog.Close

        // Close in the dark buttons of the row above it.
        footer: DialogButtonBox {
            padding: 12
            topPadding: 0
            alignment: Qt.AlignRight
            background: null
            delegate: DarkButton {
                implicitWidth: Math.max(76, implicitContentWidth + leftPadding + rightPadding)
            }
        }

        background: Rectangle {
            color: "#16181d"
            border.color: "#2c3038"
            border.width: 1
            radius: 6
        }

        Column {
            spacing: 10
            padding: 12

            Row {
                spacing: 12

                Image {
                    width: 40
                    height: 40
                    source: "qrc:/icons/app.png"
                    sourceSize: Qt.size(128, 128)
                    smooth: true
                    mipmap: true
                }
                Column {
                    anchors.verticalCenter: parent.verticalCenter
                    Text {
                        text: "Kestrune Media Player"
                        color: "#e8eaed"
                        font.family: "Segoe UI"
                        font.pixelSize: 16
                        font.weight: Font.DemiBold
                    }
                    Text {
                        objectName: "aboutVersion"
                        text: qsTr("Version %1").arg(Qt.application.version)
                        textFormat: Text.PlainText
                        color: "#9ca3af"
                        font.family: "Segoe UI"
                        font.pixelSize: 11
                    }
                }
            }
            Text {
                objectName: "aboutDescription"
                width: 360
                wrapMode: Text.Wrap
                color: "#9ca3af"
                font.family: "Segoe UI"
                font.pixelSize: 11
                text: qsTr("Free. No account, no sign-in, no license key. Nothing is sent over the internet unless you "
                           + "check for updates, which sends only the version you have. To find TVs and speakers the "
                           + "player asks on your local network; turn that off in the cast settings. Built on Qt 6, "
                           + "FFmpeg and libass.")
            }
            Text {
                objectName: "aboutNotice"
                width: 360
                wrapMode: Text.Wrap
                color: "#9ca3af"
                font.family: "Segoe UI"
                font.pixelSize: 11
                text: qsTr("The terms of use are under License; the libraries it is built on and their licenses "
                           + "under Third-Party Notices.")
            }
            Flow {
                width: 360
                spacing: 8

                DarkButton {
                    objectName: "aboutUpdatesButton"
                    text: qsTr("Check for Updates...")
                    onClicked: {
                        aboutDialog.close()
                        updateDialog.checkNow()
                    }
                }
                DarkButton {
                    objectName: "aboutLicenseButton"
                    text: qsTr("License")
                    onClicked: Qt.openUrlExternally(AppDirUrl + "/LICENSE.txt")
                }
                DarkButton {
                    objectName: "aboutNoticesButton"
                    text: qsTr("Third-Party Notices")
                    onClicked: Qt.openUrlExternally(AppDirUrl + "/THIRD-PARTY-NOTICES.txt")
                }
            }
        }
    }

    // The update check also comes as an action, from wherever it is triggered.
    Connections {
        target: typeof Actions !== "undefined" ? Actions : null
        function onTriggered(name, arg) {
            if (name === "app.check_for_updates")
                updateDialog.checkNow()
        }
    }
}
