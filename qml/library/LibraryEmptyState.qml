import QtQuick
import Kestrune.MediaPlayer

// What the browser shows instead of rows when the view has none: why, a hint, and the way to add a folder.
Item {
    // The LibraryView whose view this stands in for.
    required property var view

    objectName: "libraryEmpty"
    visible: view.total === 0

    Column {
        anchors.centerIn: parent
        width: Math.min(view.width - 40, 420)
        spacing: 10

        Text {
            objectName: "libraryEmptyHeadline"
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            textFormat: Text.PlainText
            color: "#9ca3af"
            font.family: "Segoe UI"
            font.pixelSize: 15
            text: !view.hasFolders ? qsTr("Your library is empty")
                : Library.scanning ? qsTr("Indexing your media…")
                : view.viewName === "search"
                  ? qsTr("Nothing matches \"%1\"").arg(view.present(view.params.search) ? String(view.params.search) : "")
                : qsTr("Nothing here yet")
        }
        Text {
            objectName: "libraryEmptyHint"
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            textFormat: Text.PlainText
            color: "#5f646d"
            font.family: "Segoe UI"
            font.pixelSize: 12
            visible: text !== ""
            text: !view.hasFolders ? qsTr("Add the folders that hold your music and videos.")
                : view.viewName === "search"
                  ? qsTr("Try fewer words, or field searches like artist:Name, year:[1990 TO 1999], rating:>=4")
                : view.viewName === "played" || view.viewName === "most"
                  ? qsTr("Play something from the library and it shows up here.")
                : view.viewName === "top" ? qsTr("Rate items from their right-click menu.")
                : ""
        }
        DarkButton {
            objectName: "libraryAddFolder"
            anchors.horizontalCenter: parent.horizontalCenter
            accent: true
            visible: !view.hasFolders
            text: qsTr("Add a Folder...")
            onClicked: view.manageFolders()
        }
    }
}
