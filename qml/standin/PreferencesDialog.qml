import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrune.MediaPlayer

// Stands in for the preferences until they are built: only the three ways on to other windows.
DarkDialog {
    id: dialog

    signal openLibrarySettings()
    signal openCastSettings()
    signal checkForUpdates()

    title: qsTr("Preferences")
    standardButtons: Dialog.Close
    width: 420

    ColumnLayout {
        anchors.fill: parent
        spacing: 8

        DarkButton {
            text: qsTr("Library...")
            onClicked: {
                dialog.close()
                dialog.openLibrarySettings()
            }
        }
        DarkButton {
            text: qsTr("Casting...")
            onClicked: {
                dialog.close()
                dialog.openCastSettings()
            }
        }
        DarkButton {
            text: qsTr("Check for Updates Now")
            onClicked: {
                dialog.close()
                dialog.checkForUpdates()
            }
        }
    }
}
