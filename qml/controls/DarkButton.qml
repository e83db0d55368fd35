import QtQuick
import QtQuick.Controls.Basic

// The push button of every window. Derived from the Basic style so it looks the same whatever style the
// application runs with; only the label and the background are its own.
Button {
    id: control

    // The primary action of a prompt, dialog or screen: drawn like a checked button.
    property bool accent: false

    implicitHeight: 26
    leftPadding: 10
    rightPadding: 10
    topPadding: 3
    bottomPadding: 3

    contentItem: Text {
        text: control.text
        textFormat: Text.PlainText
        font.family: "Segoe UI"
        font.pixelSize: 11
        font.weight: Font.Normal
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        color: !control.enabled ? "#5f646d" : control.checked || control.accent ? "white" : "#e8eaed"
    }

    // No implicit size: an unsized button is as wide as its label plus the padding.
    background: Rectangle {
        radius: 3
        border.width: 1
        border.color: control.enabled && (control.checked || control.accent) ? "#ff5b22" : "#3a3d44"
        color: !control.enabled ? "#1a1c21"
             : control.checked || control.accent
               ? (control.down ? "#e04d18" : control.hovered ? "#ff7a45" : "#ff5b22")
               : (control.down ? "#3a3d44" : control.hovered ? "#2a2d33" : "#1f2228")
    }
}
