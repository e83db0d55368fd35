import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrune.MediaPlayer

// Stands in for the conversion window until it is built: it opens with its sources listed and queues nothing.
Window {
    id: window

    signal queued(int count)

    function openWith(files) {
        taken.sources = files ? Array.from(files) : []
        show()
        raise()
        requestActivate()
    }

    title: qsTr("Convert")
    width: 640
    height: 420
    color: "#16181d"

    QtObject {
        id: taken
        property var sources: []
    }

    DarkWindowPane {
        ColumnLayout {
            anchors.fill: parent
            spacing: 8

            Label {
                text: qsTr("Conversion is not available in this build.")
                color: "#9ca3af"
            }
            // Paths and URLs come from outside.
            Label {
                objectName: "convertSources"
                Layout.fillWidth: true
                text: taken.sources.join("\n")
                textFormat: Text.PlainText
                elide: Text.ElideMiddle
                color: "#e8eaed"
            }
        }
    }
}
