import QtQuick
import QtQuick.Controls.Basic

// The combo box of every window, on the Basic style's behaviour. The drop-down list stays the Basic one
// and takes its colours from the palette in force.
ComboBox {
    id: control

    implicitWidth: 170
    implicitHeight: 28

    indicator: Text {
        x: control.width - width - 10
        y: (control.height - height) / 2
        text: "\u25be"
        color: "#9ca3af"
        font.pixelSize: 12
    }

    // Entries may be names from outside (receivers, library items): never rich text.
    contentItem: Text {
        leftPadding: 10
        rightPadding: 24
        text: control.displayText
        textFormat: Text.PlainText
        font.family: "Segoe UI"
        font.pixelSize: 12
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        color: control.enabled ? "#e8eaed" : "#5f646d"
    }

    background: Rectangle {
        radius: 3
        color: "#1f2228"
        border.width: 1
        border.color: control.activeFocus ? "#ff5b22" : "#3a3d44"
    }
}
