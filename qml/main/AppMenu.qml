import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import "MenuText.js" as MenuText

// The one styled menu of the player. It holds no entries of its own: whoever creates it fills it with
// actions (Action or SelAction), nested AppMenus and separators. An entry's text is "Name\tHint"; data put
// into a name goes through MenuText.literal first.
Menu {
    id: appMenu

    topPadding: 4
    bottomPadding: 4

    // Qt 6.4's Menu keeps its background's width and squeezes every item to it, so the menu takes the width
    // of its widest item itself. Reading count and each item's implicitWidth re-evaluates on every change.
    width: {
        let widest = 0
        for (let i = 0; i < count; ++i) {
            const item = itemAt(i)
            if (item)
                widest = Math.max(widest, item.implicitWidth)
        }
        return Math.max(implicitBackgroundWidth + leftInset + rightInset, widest + leftPadding + rightPadding)
    }

    background: Rectangle {
        implicitWidth: 230
        color: "#2a2d33"
        border.color: "#3a3d44"
        border.width: 1
        radius: 3
    }

    delegate: MenuItem {
        id: menuItem

        // Strictly true: an undefined or non-boolean selected (a binding reading an absent object) marks
        // nothing. A checked checkable Action marks too.
        readonly property bool marked: (action !== null && action.selected === true) || checked
        readonly property bool hasIcon: String(icon.source) !== ""

        // The entry under the pointer is highlighted whatever the platform's hover hint says (it is off on a
        // bare X server).
        hoverEnabled: true
        implicitHeight: 28
        implicitWidth: Math.max(230, nameLabel.implicitWidth + hintLabel.implicitWidth + 70)

        // The mark column and the hint take the places of the standard indicator and arrow.
        indicator: Item {}
        arrow: Item {}

        contentItem: RowLayout {
            spacing: 8

            Item {
                Layout.preferredWidth: 18
                Layout.preferredHeight: 16
                Layout.alignment: Qt.AlignVCenter

                Image {
                    objectName: "entryIcon"
                    anchors.centerIn: parent
                    width: 16
                    height: 16
                    source: menuItem.icon.source
                    sourceSize.width: 32
                    sourceSize.height: 32
                    fillMode: Image.PreserveAspectFit
                    smooth: true
                    opacity: menuItem.enabled ? 1 : 0.4
                    visible: !menuItem.marked && menuItem.hasIcon
                }
                Text {
                    objectName: "entryMark"
                    anchors.centerIn: parent
                    text: "\u2713"
                    textFormat: Text.PlainText
                    color: "#ff7a45"
                    font.family: "Segoe UI"
                    font.pixelSize: 13
                    font.bold: true
                    visible: menuItem.marked
                }
            }

            Text {
                id: nameLabel
                objectName: "entryName"
                Layout.fillWidth: true
                Layout.alignment: Qt.AlignVCenter
                text: MenuText.name(menuItem.text)
                textFormat: Text.PlainText
                font.family: "Segoe UI"
                font.pixelSize: 12
                elide: Text.ElideRight
                verticalAlignment: Text.AlignVCenter
                color: !menuItem.enabled ? "#5f646d" : menuItem.highlighted ? "#ffffff" : "#e8eaed"
            }

            Text {
                id: hintLabel
                objectName: "entryHint"
                Layout.alignment: Qt.AlignVCenter | Qt.AlignRight
                Layout.rightMargin: 4
                text: menuItem.subMenu ? "\u203a" : MenuText.hint(menuItem.text)
                textFormat: Text.PlainText
                horizontalAlignment: Text.AlignRight
                verticalAlignment: Text.AlignVCenter
                // A lone key (an arrow, "." or ",") is drawn large and bold in the text font: in the monospaced
                // font at the hints' size it is a speck.
                readonly property bool loneKey: !menuItem.subMenu && text.length === 1
                font.family: menuItem.subMenu || loneKey ? "Segoe UI" : "JetBrains Mono"
                font.pixelSize: menuItem.subMenu || loneKey ? 15 : 11
                font.bold: loneKey
                color: menuItem.enabled ? "#9ca3af" : "#5f646d"
            }
        }

        // A highlighted disabled entry shows no highlight.
        background: Rectangle {
            objectName: "entryBackground"
            implicitWidth: 230
            implicitHeight: 28
            color: menuItem.highlighted && menuItem.enabled ? "#3a3d44" : "transparent"
        }
    }
}
