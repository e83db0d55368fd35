import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The list of rows (tracks, episodes, folders, playlist entries, and groups when the grid is off). It is
// only as tall as its rows, so a click below the last one reaches the view's background and clears the
// selection.
Item {
    id: listArea

    // The LibraryView whose rows this shows: its model, selection and row functions.
    required property var view

    visible: !view.showGrid && view.total > 0

    ListView {
        id: list
        objectName: "libraryList"
        width: listArea.width
        height: Math.min(listArea.height, contentHeight)
        model: !view.showGrid ? view.model : null
        clip: true
        boundsBehavior: Flickable.StopAtBounds
        currentIndex: -1
        highlightFollowsCurrentItem: false
        ScrollBar.vertical: ScrollBar {
            policy: ScrollBar.AsNeeded
        }

        Keys.onReturnPressed: view.activateSelection()
        Keys.onEnterPressed: view.activateSelection()
        Keys.onDeletePressed: event => {
            const rows = view.selectedRows()
            if (rows.length > 0)
                view.confirmRemoval(view.idsForRows(rows), false)
        }

        delegate: Rectangle {
            id: line
            required property int index
            required property var row
            required property string title
            required property string subtitle
            required property string cover
            readonly property bool isSelected: view.selected[index] === true
            readonly property bool isItem: row.type === "item"
            readonly property bool playing: view.present(row.uri) && view.hasPlayer
                                            && String(row.uri) === Player.currentFile

            width: list.width
            height: 40
            color: isSelected ? "#2a1d17" : lineMouse.containsMouse ? "#181b21"
                 : index % 2 === 1 ? "#121419" : "transparent"
            opacity: row.available === false || row.available === 0 ? 0.45 : 1

            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: 12
                anchors.rightMargin: 16
                spacing: 10

                Rectangle {
                    Layout.preferredWidth: 30
                    Layout.preferredHeight: 30
                    radius: 3
                    color: "#1c1f26"
                    clip: true

                    Image {
                        id: thumb
                        anchors.fill: parent
                        source: line.cover !== "" ? line.cover + "/64" : ""
                        sourceSize: Qt.size(64, 64)
                        asynchronous: true
                        fillMode: Image.PreserveAspectCrop
                        visible: status === Image.Ready
                    }
                    Text {
                        anchors.centerIn: parent
                        visible: thumb.status !== Image.Ready
                        text: line.row.type === "folder" ? "▤" : line.row.kind === "video" ? "▶"
                            : line.row.type === "group" ? "◼" : "♪"
                        color: "#4b4f57"
                        font.pixelSize: 13
                    }
                }

                Text {
                    objectName: "rowTrack"
                    Layout.preferredWidth: 22
                    visible: view.params.key !== undefined && view.params.key !== null
                             && view.params.key.album !== undefined && line.row.track_number > 0
                    horizontalAlignment: Text.AlignRight
                    text: visible ? String(line.row.track_number) : ""
                    color: "#5f646d"
                    font.family: "JetBrains Mono"
                    font.pixelSize: 11
                }

                Column {
                    Layout.fillWidth: true
                    Layout.alignment: Qt.AlignVCenter

                    Text {
                        objectName: "rowTitle"
                        width: parent.width
                        text: (line.playing ? "▶ " : "") + line.title
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        color: line.playing ? "#ff7a45" : "#e8eaed"
                        font.family: "Segoe UI"
                        font.pixelSize: 12
                    }
                    Text {
                        objectName: "rowSubtitle"
                        width: parent.width
                        // No separator in front of the note when there is no subtitle to follow.
                        text: !line.row.low_confidence ? line.subtitle
                            : (line.subtitle !== "" ? line.subtitle + "  · " : "")
                              + qsTr("guessed from the file name")
                        visible: text !== ""
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        color: "#6b7079"
                        font.family: "Segoe UI"
                        font.pixelSize: 10
                    }
                }

                Text {
                    visible: line.isItem && line.row.rating > 0
                    text: visible ? "★".repeat(Math.round(line.row.rating / 20)) : ""
                    color: "#ffb020"
                    font.pixelSize: 10
                }

                Text {
                    visible: line.isItem && line.row.play_count > 0
                             && (view.viewName === "most" || view.viewName === "played")
                    text: qsTr("%n play(s)", "", visible ? line.row.play_count : 0)
                    color: "#5f646d"
                    font.family: "Segoe UI"
                    font.pixelSize: 10
                }

                Text {
                    Layout.preferredWidth: 52
                    horizontalAlignment: Text.AlignRight
                    text: view.fmtDur(line.row.duration_us)
                    color: "#6b7079"
                    font.family: "JetBrains Mono"
                    font.pixelSize: 11
                }
            }

            MouseArea {
                id: lineMouse
                anchors.fill: parent
                acceptedButtons: Qt.LeftButton | Qt.RightButton
                hoverEnabled: true
                onClicked: mouse => {
                    list.forceActiveFocus()
                    view.rowPressed(line.index, mouse, lineMouse)
                }
                onDoubleClicked: mouse => {
                    if (mouse.button === Qt.LeftButton)
                        view.activate(line.index)
                }
            }
        }
    }
}
