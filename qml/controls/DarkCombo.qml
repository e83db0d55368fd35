import QtQuick
import QtQuick.Controls.Basic

// The combo box of every window, on the Basic style's behaviour. The drop-down list lives in the window's
// overlay, outside any pane's palette: its entries take their colours from the combo's own palette, so a
// highlighted entry reads on a dark window as it does on the main one.
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

    // Entries are data (look names, receivers, presets): plain text, where an ItemDelegate's label would take
    // "&" for a mnemonic and show "Black & White" as "Black _White".
    delegate: ItemDelegate {
        id: entry

        width: ListView.view ? ListView.view.width : control.width
        text: control.textRole ? (Array.isArray(control.model) ? modelData[control.textRole] : model[control.textRole])
                               : modelData
        font.family: "Segoe UI"
        font.pixelSize: 12
        font.weight: control.currentIndex === index ? Font.DemiBold : Font.Normal
        highlighted: control.highlightedIndex === index
        hoverEnabled: control.hoverEnabled

        contentItem: Text {
            objectName: "entryText"
            text: entry.text
            textFormat: Text.PlainText
            font: entry.font
            elide: Text.ElideRight
            verticalAlignment: Text.AlignVCenter
            color: entry.highlighted ? control.palette.highlightedText : control.palette.text
        }

        background: Rectangle {
            objectName: "entryBackground"
            implicitWidth: 100
            implicitHeight: 32
            visible: entry.down || entry.highlighted || entry.visualFocus
            color: entry.down ? control.palette.mid : control.palette.light
        }
    }
}
