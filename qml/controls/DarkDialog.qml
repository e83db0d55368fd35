import QtQuick
import QtQuick.Controls.Basic

// The chrome of every modal dialog: dark panel, title header, dark standard buttons, centred in its parent.
// Esc closes it (rejected); Return does nothing by itself, so a dialog with a text field binds it there.
Dialog {
    id: dialog

    modal: true
    focus: true
    anchors.centerIn: parent
    padding: 14

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
    // Basic's slider groove and pressed list entries: never the default near-white.
    palette.midlight: "#2a2d33"

    background: Rectangle {
        color: "#16181d"
        border.color: "#2c3038"
        border.width: 1
        radius: 6
    }

    // The header's height comes from the font, not from the eliding title: Qt 6.4 lays an eliding text out again
    // when its width changes and reports its implicit height anew, so in a dialog whose width follows the window
    // the dialog's implicit height fed back into itself (a binding loop) while the window was resized.
    header: Item {
        implicitWidth: titleLabel.implicitWidth
        implicitHeight: Math.ceil(titleMetrics.height) + titleLabel.topPadding + titleLabel.bottomPadding

        FontMetrics {
            id: titleMetrics
            font: titleLabel.font
        }

        Label {
            id: titleLabel
            objectName: "dialogTitle"
            anchors.fill: parent
            text: dialog.title
            textFormat: Text.PlainText
            padding: 14
            color: "#e8eaed"
            elide: Text.ElideRight
            font.family: "Segoe UI"
            font.pixelSize: 15
            font.weight: Font.DemiBold
        }
    }

    footer: DialogButtonBox {
        padding: 14
        topPadding: 0
        spacing: 8
        alignment: Qt.AlignRight
        background: null
        delegate: DarkButton {
            implicitWidth: Math.max(76, implicitContentWidth + leftPadding + rightPadding)
            accent: DialogButtonBox.buttonRole === DialogButtonBox.AcceptRole
        }
    }

    // Qt 6.4 refuses this role as a grouped-property binding whenever the importing file comes from the disk
    // cache ("not available due to component versioning"); set from script it always works.
    Component.onCompleted: palette.placeholderText = "#5f646d"
}
