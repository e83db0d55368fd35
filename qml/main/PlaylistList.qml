import QtQuick
import QtQuick.Controls.Basic

// The entries of the play queue, one 44-pixel row each: number, name, path, the playing mark and a remove
// button under the pointer. A click selects (currentIndex, what Delete and Convert act on), a double-click
// plays, a right-click opens the entry menu, a vertical drag moves the entry. The rows are Player.playlist
// itself: any change of its entries replaces the model and every row with it.
ListView {
    id: playlistView

    // The main window, for basename().
    required property var host
    // The entry menu: its row is set before it opens.
    required property var menu

    readonly property bool hasPlayer: typeof Player !== "undefined"
    // The row height is also the step of the drag arithmetic and of the drop line's place.
    readonly property int rowHeight: 44
    // The entry being dragged and where it would land; -1 when no drag is under way.
    property int dragFrom: -1
    property int dragTo: -1

    objectName: "playlistView"
    clip: true
    spacing: 0
    currentIndex: -1
    // Nothing is selected until the user clicks: the view itself would select row 0 on every new model.
    highlightFollowsCurrentItem: false
    model: hasPlayer ? Player.playlist : []

    ScrollBar.vertical: ScrollBar {
        policy: ScrollBar.AsNeeded
    }

    // The view puts its current index on row 0 each time the entries change; the selection is the user's.
    onModelChanged: currentIndex = -1

    // The list came back from hidden and has no height yet: it follows once laid out.
    property bool followPending: false

    // Scrolls as little as needed to show the playing entry whole; after the view's own reset.
    function keepCurrentInView() {
        if (!hasPlayer || Player.playlistIndex < 0 || Player.playlistIndex >= count)
            return
        followPending = height <= 0
        if (!followPending)
            positionViewAtIndex(Player.playlistIndex, ListView.Contain)
    }

    onHeightChanged: {
        if (followPending)
            keepCurrentInView()
    }

    Connections {
        target: playlistView.hasPlayer ? Player : null
        function onPlaylistChanged() {
            if (Player.playlistIndex >= 0)
                Qt.callLater(playlistView.keepCurrentInView)
        }
    }

    delegate: Rectangle {
        id: row

        required property int index
        required property string modelData
        // What the row shows: an address's password never reaches the screen.
        readonly property string shown: playlistView.hasPlayer ? Player.displayAddress(modelData) : modelData

        readonly property bool isCurrent: playlistView.hasPlayer && index === Player.playlistIndex
        readonly property bool isSelected: index === playlistView.currentIndex
        readonly property bool isHovered: itemMa.containsMouse || removeMa.containsMouse

        objectName: "playlistRow" + index
        width: ListView.view ? ListView.view.width : 0
        height: playlistView.rowHeight
        color: isSelected ? "#232730" : isHovered ? "#1c1f26" : "transparent"

        // A row scrolled far enough away during a drag goes with its pointer grab: the drag ends with it.
        Component.onDestruction: {
            if (itemMa.dragging && playlistView.dragFrom === index) {
                playlistView.dragFrom = -1
                playlistView.dragTo = -1
            }
        }

        MouseArea {
            id: itemMa
            objectName: "itemMa"

            property real pressY: 0
            property bool dragging: false

            anchors.fill: parent
            hoverEnabled: true
            cursorShape: Qt.PointingHandCursor
            acceptedButtons: Qt.LeftButton | Qt.RightButton
            // A vertical drag reorders; the list must not take it over as a flick.
            preventStealing: true

            onPressed: mouse => {
                pressY = mouse.y
                dragging = false
            }

            onPositionChanged: mouse => {
                if (!(mouse.buttons & Qt.LeftButton))
                    return
                const view = playlistView
                if (!dragging) {
                    if (Math.abs(mouse.y - pressY) <= 8)
                        return
                    dragging = true
                    view.dragFrom = row.index
                }
                const inContent = mapToItem(view.contentItem, mouse.x, mouse.y)
                const last = view.count - 1
                view.dragTo = Math.max(0, Math.min(last, Math.floor(inContent.y / view.rowHeight)))
                const inView = mapToItem(view, mouse.x, mouse.y)
                if (inView.y < 20)
                    view.contentY = Math.max(0, view.contentY - 8)
                else if (inView.y > view.height - 20)
                    view.contentY = Math.min(Math.max(0, view.contentHeight - view.height), view.contentY + 8)
            }

            // The move replaces every row, this one too: everything needed afterwards is a local.
            onReleased: {
                const view = playlistView
                const from = view.dragFrom
                const target = view.dragTo
                const move = dragging && target >= 0 && target !== from
                view.dragFrom = -1
                view.dragTo = -1
                if (!move)
                    return
                Player.movePlaylistItem(from, target)
                view.currentIndex = target
            }

            onCanceled: {
                dragging = false
                playlistView.dragFrom = -1
                playlistView.dragTo = -1
            }

            // The click that ends a drag only ends it.
            onClicked: mouse => {
                if (dragging) {
                    dragging = false
                    return
                }
                const view = playlistView
                const at = row.index
                view.currentIndex = at
                if (mouse.button === Qt.RightButton) {
                    view.menu.row = at
                    view.menu.popup(itemMa, mouse.x, mouse.y)
                }
            }

            onDoubleClicked: mouse => {
                if (mouse.button === Qt.LeftButton && playlistView.hasPlayer)
                    Player.playFromPlaylist(row.index)
            }
        }

        Rectangle {
            objectName: "currentEdge"
            width: 2
            height: parent.height
            color: "#ff5b22"
            visible: row.isCurrent
        }

        Row {
            anchors.fill: parent
            anchors.leftMargin: 14
            anchors.rightMargin: 8
            spacing: 10

            Text {
                objectName: "rowNumber"
                width: 22
                anchors.verticalCenter: parent.verticalCenter
                horizontalAlignment: Text.AlignRight
                font.family: "JetBrains Mono"
                font.pixelSize: 10
                color: row.isCurrent ? "#ff5b22" : "#3f434b"
                text: (row.index < 9 ? "0" : "") + (row.index + 1)
            }

            Column {
                anchors.verticalCenter: parent.verticalCenter
                width: parent.width - 70
                spacing: 2

                // Entries come from outside: plain text.
                Text {
                    objectName: "rowTitle"
                    width: parent.width
                    elide: Text.ElideRight
                    textFormat: Text.PlainText
                    font.family: "Segoe UI"
                    font.pixelSize: 12
                    font.weight: row.isCurrent ? Font.DemiBold : Font.Normal
                    color: row.isCurrent ? "#ffffff" : "#e8eaed"
                    text: playlistView.host.basename(row.shown)
                }
                Text {
                    objectName: "rowPath"
                    width: parent.width
                    elide: Text.ElideMiddle
                    textFormat: Text.PlainText
                    font.family: "JetBrains Mono"
                    font.pixelSize: 9
                    color: "#5f646d"
                    text: row.shown
                }
            }
        }

        Rectangle {
            objectName: "removeBtn"
            anchors.right: parent.right
            anchors.rightMargin: 8
            anchors.verticalCenter: parent.verticalCenter
            width: 22
            height: 22
            radius: 11
            color: removeMa.containsMouse ? "#ff5b22" : "transparent"
            visible: row.isHovered

            Text {
                anchors.centerIn: parent
                font.family: "Segoe UI"
                font.pixelSize: 16
                color: removeMa.containsMouse ? "#ffffff" : "#9ca3af"
                text: "×"
            }

            MouseArea {
                id: removeMa
                objectName: "removeMa"
                anchors.fill: parent
                hoverEnabled: true
                cursorShape: Qt.PointingHandCursor
                onClicked: {
                    if (playlistView.hasPlayer)
                        Player.removeFromPlaylist(row.index)
                }
            }
        }
    }

    // Across the list at the boundary where the dragged entry would land, in content coordinates so it
    // stays there while the list scrolls.
    Rectangle {
        objectName: "dropIndicator"
        readonly property int slot: playlistView.dragTo > playlistView.dragFrom ? playlistView.dragTo + 1
                                                                                   : playlistView.dragTo
        x: 0
        y: slot * playlistView.rowHeight - 1
        z: 20
        width: playlistView.width
        height: 2
        color: "#ff5b22"
        visible: playlistView.dragFrom >= 0 && playlistView.dragTo >= 0
    }
}
