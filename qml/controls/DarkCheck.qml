import QtQuick
import QtQuick.Controls.Basic

// The check box of every window, on the Basic style's behaviour. A partially checked box is drawn as
// unchecked.
CheckBox {
    id: control

    // The box keeps its look when disabled; only the label dims.
    indicator: Rectangle {
        implicitWidth: 16
        implicitHeight: 16
        x: control.leftPadding
        y: (control.height - height) / 2
        radius: 3
        border.width: 1
        border.color: control.checked ? "#ff5b22" : "#5f646d"
        color: control.checked ? "#ff5b22" : "#1c1f26"

        Text {
            anchors.centerIn: parent
            text: "\u2713"
            color: "white"
            font.pixelSize: 12
            font.bold: true
            visible: control.checked
        }
    }

    contentItem: Text {
        leftPadding: control.indicator.width + 8
        text: control.text
        textFormat: Text.PlainText
        font.family: "Segoe UI"
        font.pixelSize: 12
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        color: control.enabled ? "#e8eaed" : "#5f646d"
    }
}
