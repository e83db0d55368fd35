import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Templates as T
import Kestrune.MediaPlayer

// The prompt for a new playlist's name, from the row menu's "Add to Playlist".
DarkDialog {
    id: newPl
    objectName: "newPlaylistDialog"

    // The LibraryView that asks.
    required property var view
    // The paths the new playlist starts with.
    property var uris: []

    parent: T.Overlay.overlay
    width: 360
    title: qsTr("New Playlist")
    standardButtons: Dialog.Ok | Dialog.Cancel

    onAboutToShow: newPlName.text = ""
    onOpened: newPlName.forceActiveFocus()
    // A blank name makes the library name it "New Playlist".
    onAccepted: {
        if (view.hasLibrary)
            Library.createPlaylist(newPlName.text, uris)
    }

    TextField {
        id: newPlName
        objectName: "newPlaylistName"
        width: parent.width
        selectByMouse: true
        placeholderText: qsTr("Playlist name")
        color: "#e8eaed"
        font.pixelSize: 12
        onAccepted: newPl.accept()
    }
}
