import QtQuick
import QtQuick.Controls.Basic

// The root content of a secondary window. A top-level window does not inherit the main window's palette,
// so this pane gives everything inside it the same dark roles.
Pane {
    anchors.fill: parent
    padding: 12

    palette.window: "#16181d"
    palette.windowText: "#e8eaed"
    palette.base: "#1c1f26"
    palette.text: "#e8eaed"
    palette.button: "#2a2d33"
    palette.buttonText: "#e8eaed"
    palette.highlight: "#ff5b22"
    palette.highlightedText: "#ffffff"
    palette.mid: "#3a3d44"
    palette.dark: "#0e1014"
    palette.light: "#3a3d44"
    palette.toolTipBase: "#2a2d33"
    palette.toolTipText: "#e8eaed"

    background: Rectangle {
        color: "#16181d"
    }

    // Qt 6.4 refuses this role as a grouped-property binding whenever the importing file comes from the disk
    // cache ("not available due to component versioning"); set from script it always works.
    Component.onCompleted: palette.placeholderText = "#5f646d"
}
