import QtQuick
import QtQuick.Controls.Basic
import Kestrune.MediaPlayer

// Stands in for the library browser until it is built: it shows the title of the view it was asked for and
// lists nothing.
Rectangle {
    id: view

    signal playedVideo()
    signal editRequested(var ids)
    signal convertRequested(var uris)
    signal manageFolders()

    function open(params, title) {
        shown.params = params
        shown.title = title
    }

    color: "#101216"

    QtObject {
        id: shown
        property var params: ({})
        property string title: ""
    }

    Column {
        anchors.centerIn: parent
        spacing: 8

        Text {
            objectName: "libraryTitle"
            anchors.horizontalCenter: parent.horizontalCenter
            text: shown.title
            textFormat: Text.PlainText
            color: "#e8eaed"
            font.family: "Segoe UI"
            font.pixelSize: 20
            font.weight: Font.DemiBold
        }
        Text {
            objectName: "libraryParams"
            anchors.horizontalCenter: parent.horizontalCenter
            text: JSON.stringify(shown.params)
            textFormat: Text.PlainText
            visible: false
        }
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: qsTr("The library is not available in this build.")
            color: "#9ca3af"
            font.family: "Segoe UI"
            font.pixelSize: 12
        }
    }
}
