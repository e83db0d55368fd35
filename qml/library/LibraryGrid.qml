import QtQuick
import QtQuick.Controls.Basic

// The grid of cover tiles for groups, movies and videos. It is only as tall as its rows, so a click below
// the last one reaches the view's background and clears the selection.
Item {
    id: gridArea

    // The LibraryView whose rows this shows: its model, selection, geometry and row functions.
    required property var view

    visible: view.showGrid && view.total > 0

    GridView {
        id: grid
        objectName: "libraryGrid"
        x: 14
        y: 14
        width: gridArea.width - 18
        height: Math.min(gridArea.height - 14, contentHeight)
        model: view.showGrid ? view.model : null
        clip: true
        boundsBehavior: Flickable.StopAtBounds
        keyNavigationEnabled: false
        cellWidth: view.cellWidth
        cellHeight: view.cellHeight
        ScrollBar.vertical: ScrollBar {
            policy: ScrollBar.AsNeeded
        }

        delegate: Item {
            id: cell
            required property int index
            required property var row
            required property string title
            required property string subtitle
            required property string cover
            readonly property bool isSelected: view.selected[index] === true

            width: grid.cellWidth
            height: grid.cellHeight

            Rectangle {
                id: tile
                anchors.fill: parent
                anchors.margins: 5
                radius: 6
                color: cell.isSelected ? "#2a1d17" : tileMouse.containsMouse ? "#181b21" : "transparent"
                border.width: cell.isSelected ? 1 : 0
                border.color: "#ff5b22"

                Rectangle {
                    id: art
                    x: 8
                    y: 8
                    width: tile.width - 16
                    height: view.wide ? Math.round(width * 9 / 16) : width
                    radius: 4
                    color: "#1c1f26"
                    clip: true

                    Image {
                        id: artImage
                        objectName: "libraryTileArt"
                        anchors.fill: parent
                        source: cell.cover !== "" ? cell.cover + "/256" : ""
                        sourceSize: Qt.size(256, 256)
                        asynchronous: true
                        fillMode: Image.PreserveAspectCrop
                        visible: status === Image.Ready
                    }
                    Text {
                        anchors.centerIn: parent
                        visible: artImage.status !== Image.Ready
                        text: cell.title !== "" ? cell.title.charAt(0).toUpperCase() : "?"
                        textFormat: Text.PlainText
                        color: "#3a3d44"
                        font.family: "Segoe UI"
                        font.bold: true
                        font.pixelSize: Math.max(1, Math.round(art.width / 3))
                    }
                }

                Text {
                    x: 8
                    y: art.y + art.height + 6
                    width: tile.width - 16
                    text: cell.title
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    color: "#e8eaed"
                    font.family: "Segoe UI"
                    font.pixelSize: 12
                    font.weight: Font.DemiBold
                }
                Text {
                    x: 8
                    y: art.y + art.height + 23
                    width: tile.width - 16
                    text: cell.subtitle
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    color: "#6b7079"
                    font.family: "Segoe UI"
                    font.pixelSize: 10
                }
            }

            MouseArea {
                id: tileMouse
                anchors.fill: parent
                acceptedButtons: Qt.LeftButton | Qt.RightButton
                hoverEnabled: true
                onClicked: mouse => view.rowPressed(cell.index, mouse, tileMouse)
                onDoubleClicked: mouse => {
                    if (mouse.button === Qt.LeftButton)
                        view.activate(cell.index)
                }
            }
        }
    }
}
