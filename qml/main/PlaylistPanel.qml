import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrune.MediaPlayer

// The playlist panel on the right of the main window: header with the count, Clear and close, the list of
// entries (or the empty view), the footer that adds and saves, its own drop target and the entry menu. It
// keeps no playlist data: it shows Player.playlist and hands every change to Player or Actions.
Rectangle {
    id: panel

    // The main window: fs, playlistVisible, basename() and addUrls().
    required property var host
    // The list of entries; its currentIndex is the selected entry.
    readonly property alias view: playlistView
    readonly property alias menu: itemMenu

    readonly property bool hasPlayer: typeof Player !== "undefined"
    readonly property bool hasEntries: hasPlayer && Player.playlistCount > 0
    readonly property bool shown: host.playlistVisible && !host.fs

    // The footer's buttons: the window owns the dialogs.
    signal addFilesRequested
    signal addFolderRequested
    signal saveRequested
    // "Convert..." of the entry menu, with the one entry as the list of sources.
    signal convertRequested(var files)

    objectName: "playlistPanel"
    Layout.preferredWidth: shown ? 320 : 0
    Layout.fillHeight: true
    visible: shown
    color: "#16181d"

    // An entry with no scheme is a local path.
    function isLocal(row) {
        return hasPlayer && row >= 0 && row < Player.playlistCount && Player.playlist[row].indexOf("://") < 0
    }

    // Only a folder that exists is ever handed to the desktop.
    function showInFolder(row) {
        if (!isLocal(row))
            return
        const url = FileUrls.folderUrl(Player.playlist[row])
        if (url.toString() !== "")
            Qt.openUrlExternally(url)
    }

    Rectangle {
        width: 1
        height: parent.height
        color: "#22252c"
    }

    // Only drags that carry a URI list get here; each URL goes to the play queue, in the drop's order.
    DropArea {
        id: playlistDrop
        objectName: "playlistDrop"
        anchors.fill: parent
        keys: ["text/uri-list"]
        onEntered: drag => drag.accept()
        onDropped: drop => {
            if (!drop.hasUrls)
                return
            panel.host.addUrls(drop.urls)
            drop.accept()
        }
    }

    Rectangle {
        objectName: "playlistDropHighlight"
        anchors.fill: parent
        color: "transparent"
        border.color: "#ff5b22"
        border.width: 2
        z: 10
        visible: playlistDrop.containsDrag
    }

    AppMenu {
        id: itemMenu
        objectName: "itemMenu"

        // The entry the menu acts on; the list sets it before opening the menu.
        property int row: -1

        Action {
            text: qsTr("Play")
            onTriggered: Player.playFromPlaylist(itemMenu.row)
        }
        Action {
            text: qsTr("Move Up")
            enabled: itemMenu.row > 0
            onTriggered: Player.movePlaylistItem(itemMenu.row, itemMenu.row - 1)
        }
        Action {
            text: qsTr("Move Down")
            enabled: panel.hasPlayer && itemMenu.row >= 0 && itemMenu.row < Player.playlistCount - 1
            onTriggered: Player.movePlaylistItem(itemMenu.row, itemMenu.row + 1)
        }
        MenuSeparator {
            topPadding: 4
            bottomPadding: 4
            contentItem: Rectangle {
                implicitWidth: 200
                implicitHeight: 1
                color: "#3a3d44"
            }
        }
        Action {
            text: qsTr("Show in Folder")
            enabled: panel.isLocal(itemMenu.row)
            onTriggered: panel.showInFolder(itemMenu.row)
        }
        Action {
            text: qsTr("Convert...")
            enabled: panel.isLocal(itemMenu.row)
            onTriggered: panel.convertRequested([Player.playlist[itemMenu.row]])
        }
        Action {
            text: qsTr("Remove\tDel")
            onTriggered: Player.removeFromPlaylist(itemMenu.row)
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.leftMargin: 1
        spacing: 0

        Rectangle {
            objectName: "playlistHeader"
            Layout.fillWidth: true
            Layout.preferredHeight: 38
            color: "transparent"

            Rectangle {
                width: parent.width
                height: 1
                anchors.bottom: parent.bottom
                color: "#22252c"
            }

            Text {
                objectName: "playlistTitle"
                anchors.left: parent.left
                anchors.leftMargin: 14
                anchors.verticalCenter: parent.verticalCenter
                color: "#e8eaed"
                font.family: "Segoe UI"
                font.pixelSize: 11
                font.weight: Font.DemiBold
                font.letterSpacing: 1.6
                text: qsTr("PLAYLIST")
            }

            // Keeps its place when Clear hides: anchored to the hidden button's edge.
            Text {
                objectName: "playlistCount"
                anchors.right: clearBtn.left
                anchors.rightMargin: 10
                anchors.verticalCenter: parent.verticalCenter
                color: "#5f646d"
                font.family: "JetBrains Mono"
                font.pixelSize: 10
                text: "(" + (panel.hasPlayer ? Player.playlistCount : 0) + ")"
            }

            Rectangle {
                id: clearBtn
                objectName: "clearBtn"
                anchors.right: closePlaylistBtn.left
                anchors.rightMargin: 4
                anchors.verticalCenter: parent.verticalCenter
                width: clearText.implicitWidth + 14
                height: 22
                radius: 4
                color: clearMa.containsMouse ? "#232730" : "transparent"
                visible: panel.hasEntries

                Text {
                    id: clearText
                    anchors.centerIn: parent
                    color: "#9ca3af"
                    font.family: "Segoe UI"
                    font.pixelSize: 10
                    text: qsTr("Clear")
                }

                MouseArea {
                    id: clearMa
                    anchors.fill: parent
                    hoverEnabled: true
                    cursorShape: Qt.PointingHandCursor
                    onClicked: Actions.trigger("playlist.clear")
                }
            }

            Rectangle {
                id: closePlaylistBtn
                objectName: "closePlaylistBtn"
                anchors.right: parent.right
                anchors.rightMargin: 8
                anchors.verticalCenter: parent.verticalCenter
                width: 22
                height: 22
                radius: 4
                color: closePlaylistMa.containsMouse ? "#232730" : "transparent"

                Text {
                    anchors.centerIn: parent
                    color: closePlaylistMa.containsMouse ? "#e8eaed" : "#9ca3af"
                    font.family: "Segoe UI"
                    font.pixelSize: 16
                    text: "×"
                }

                MouseArea {
                    id: closePlaylistMa
                    anchors.fill: parent
                    hoverEnabled: true
                    cursorShape: Qt.PointingHandCursor
                    onClicked: panel.host.playlistVisible = false
                }
            }
        }

        Item {
            objectName: "playlistEmpty"
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: !panel.hasEntries

            Column {
                anchors.centerIn: parent
                spacing: 6

                Text {
                    anchors.horizontalCenter: parent.horizontalCenter
                    color: "#5f646d"
                    font.family: "Segoe UI"
                    font.pixelSize: 12
                    text: qsTr("Queue is empty")
                }
                Text {
                    anchors.horizontalCenter: parent.horizontalCenter
                    color: "#3f434b"
                    font.family: "Segoe UI"
                    font.pixelSize: 10
                    text: qsTr("Drop files or folders here, or use Ctrl+O")
                }
            }
        }

        PlaylistList {
            id: playlistView
            host: panel.host
            menu: itemMenu
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: panel.hasEntries
        }

        Rectangle {
            objectName: "playlistFooter"
            Layout.fillWidth: true
            Layout.preferredHeight: 34
            color: "transparent"

            Rectangle {
                width: parent.width
                height: 1
                color: "#22252c"
            }

            Row {
                anchors.left: parent.left
                anchors.leftMargin: 8
                anchors.verticalCenter: parent.verticalCenter
                spacing: 4

                Repeater {
                    model: [
                        { label: qsTr("+ Files"), name: "files" },
                        { label: qsTr("+ Folder"), name: "folder" },
                        { label: qsTr("Save…"), name: "save" },
                    ]

                    delegate: Rectangle {
                        required property var modelData

                        objectName: "footer_" + modelData.name
                        width: footText.implicitWidth + 16
                        height: 24
                        radius: 4
                        color: footMa.containsMouse ? "#232730" : "transparent"
                        enabled: modelData.name !== "save" || panel.hasEntries
                        opacity: enabled ? 1 : 0.4

                        Text {
                            id: footText
                            anchors.centerIn: parent
                            color: "#9ca3af"
                            font.family: "Segoe UI"
                            font.pixelSize: 11
                            text: modelData.label
                        }

                        MouseArea {
                            id: footMa
                            anchors.fill: parent
                            hoverEnabled: true
                            cursorShape: Qt.PointingHandCursor
                            onClicked: {
                                if (modelData.name === "files")
                                    panel.addFilesRequested()
                                else if (modelData.name === "folder")
                                    panel.addFolderRequested()
                                else
                                    panel.saveRequested()
                            }
                        }
                    }
                }
            }
        }
    }
}
