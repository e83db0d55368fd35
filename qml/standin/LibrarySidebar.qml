import QtQuick
import QtQuick.Controls.Basic
import Kestrune.MediaPlayer

// Stands in for the library sidebar until it is built: the search field and two entries, the stage and the
// list of tracks.
Rectangle {
    id: sidebar

    property string currentKey: "nowplaying"
    readonly property bool searchFocused: searchField.activeFocus

    signal navigate(var params, string title, string key)
    signal showNowPlaying()
    signal manageFolders()

    function focusSearch() {
        searchField.forceActiveFocus()
        searchField.selectAll()
    }

    function escapeSearch() {
        if (searchField.text !== "") {
            searchField.clear()
            return true
        }
        searchField.focus = false
        return false
    }

    color: "#0e1014"
    clip: true

    Rectangle {
        anchors.right: parent.right
        width: 1
        height: parent.height
        color: "#22252c"
    }

    Column {
        anchors.fill: parent
        anchors.margins: 10
        spacing: 4

        TextField {
            id: searchField
            objectName: "librarySearch"
            width: parent.width
            placeholderText: qsTr("Search library")
            color: "#e8eaed"
            placeholderTextColor: "#5f646d"
            selectByMouse: true
            background: Rectangle {
                radius: 4
                color: "#1c1f26"
                border.color: searchField.activeFocus ? "#ff5b22" : "#3a3d44"
            }
        }

        Item {
            width: 1
            height: 6
        }

        Repeater {
            model: [
                { key: "nowplaying", title: qsTr("Now Playing") },
                { key: "tracks", title: qsTr("Tracks") },
            ]
            delegate: Rectangle {
                required property var modelData
                objectName: "libraryEntry_" + modelData.key
                width: parent.width
                height: 28
                radius: 4
                color: sidebar.currentKey === modelData.key ? "#3a3d44" : entryMouse.containsMouse ? "#232730"
                                                                                                   : "transparent"

                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    anchors.left: parent.left
                    anchors.leftMargin: 8
                    text: modelData.title
                    color: "#e8eaed"
                    font.family: "Segoe UI"
                    font.pixelSize: 12
                }

                MouseArea {
                    id: entryMouse
                    anchors.fill: parent
                    hoverEnabled: true
                    cursorShape: Qt.PointingHandCursor
                    onClicked: {
                        sidebar.currentKey = modelData.key
                        if (modelData.key === "nowplaying")
                            sidebar.showNowPlaying()
                        else
                            sidebar.navigate({ view: modelData.key }, modelData.title, modelData.key)
                    }
                }
            }
        }
    }
}
