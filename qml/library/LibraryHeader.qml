import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrune.MediaPlayer

// The browser's header: back, the view's title and summary, the sort chooser, grid or list, play and shuffle.
Rectangle {
    id: header

    // The LibraryView this heads: its state, and the functions the buttons call.
    required property var view

    // The sort chooser's entries: label, sort key, descending.
    readonly property var sortChoices: [
        { text: qsTr("Default order"), key: "", desc: false },
        { text: qsTr("Title"), key: "title", desc: false },
        { text: qsTr("Artist"), key: "artist", desc: false },
        { text: qsTr("Album"), key: "album", desc: false },
        { text: qsTr("Year"), key: "year", desc: true },
        { text: qsTr("Duration"), key: "duration", desc: false },
        { text: qsTr("Rating"), key: "rating", desc: true },
        { text: qsTr("Plays"), key: "plays", desc: true },
        { text: qsTr("Date added"), key: "added", desc: true },
        { text: qsTr("Last played"), key: "played", desc: true }
    ]

    objectName: "libraryHeader"
    color: "#14161b"

    // The view returns the sort to its own order on every change of the view; the chooser shows that.
    Connections {
        target: header.view
        function onParamsChanged() {
            sortChooser.currentIndex = 0
        }
    }

    Rectangle {
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        height: 1
        color: "#22252c"
    }

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        spacing: 8

        DarkButton {
            objectName: "libraryBack"
            text: "‹"
            Layout.preferredWidth: 28
            visible: view.stack.length > 0
            ToolTip.visible: hovered
            ToolTip.text: qsTr("Back (Alt+←)")
            onClicked: view.back()
        }

        Column {
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignVCenter

            Text {
                objectName: "libraryTitle"
                width: parent.width
                text: view.title
                textFormat: Text.PlainText
                elide: Text.ElideRight
                color: "#e8eaed"
                font.family: "Segoe UI"
                font.pixelSize: 17
                font.weight: Font.DemiBold
            }
            Text {
                objectName: "librarySummary"
                width: parent.width
                text: view.summary
                textFormat: Text.PlainText
                elide: Text.ElideRight
                color: "#6b7079"
                font.family: "Segoe UI"
                font.pixelSize: 11
            }
        }

        DarkCombo {
            id: sortChooser
            objectName: "librarySort"
            Layout.preferredWidth: 150
            visible: !view.isGroup && view.viewName !== "playlist" && view.viewName !== "folders"
            model: header.sortChoices.map(choice => choice.text)
            onActivated: index => {
                view.sortKey = header.sortChoices[index].key
                view.sortDesc = header.sortChoices[index].desc
            }
        }

        DarkButton {
            objectName: "libraryLayout"
            visible: view.canGrid
            text: view.gridMode ? qsTr("List") : qsTr("Grid")
            onClicked: view.gridMode = !view.gridMode
        }

        DarkButton {
            objectName: "libraryPlay"
            accent: true
            text: qsTr("▶  Play")
            enabled: view.total > 0
            onClicked: view.playFrom(-1, false)
        }

        DarkButton {
            objectName: "libraryShuffle"
            text: qsTr("Shuffle")
            enabled: view.total > 0
            onClicked: view.playFrom(-1, true)
        }
    }
}
