import QtQuick
import QtQuick.Controls

// The tools row's cast button: the cast icon, a dot while casting (amber while converting or loading) and,
// given room, the receiver's name. Receivers name themselves, so the name and the tool tip are plain text.
Rectangle {
    id: button

    // The bar has room for the receiver's name.
    property bool nameRoom: false
    readonly property bool hasCast: typeof Cast !== "undefined"
    readonly property bool active: hasCast && Cast.active
    readonly property bool anyReceiver: hasCast && Cast.devices.length > 0
    readonly property bool warning: hasCast && (Cast.mode === "transcode" || Cast.busy)
    readonly property string tip: active ? qsTr("Casting to %1").arg(Cast.deviceName)
                                         : anyReceiver ? qsTr("Cast to a TV or speaker")
                                                       : qsTr("Cast — no receivers found yet")
    readonly property alias containsMouse: castMa.containsMouse
    signal clicked()

    visible: hasCast && Cast.enabled
    width: castRow.implicitWidth + 12
    height: 28
    radius: 4
    color: castMa.containsMouse ? "#232730" : "transparent"

    Row {
        id: castRow
        anchors.centerIn: parent
        spacing: 6

        Item {
            anchors.verticalCenter: parent.verticalCenter
            width: 18
            height: 18

            Image {
                objectName: "castIcon"
                anchors.fill: parent
                source: "icons/cast.svg"
                sourceSize: Qt.size(36, 36)
                opacity: button.active ? 1 : button.anyReceiver ? 0.85 : 0.35
            }

            Rectangle {
                objectName: "castDot"
                anchors.top: parent.top
                anchors.right: parent.right
                anchors.topMargin: -2
                anchors.rightMargin: -2
                width: 7
                height: 7
                radius: 3.5
                color: button.warning ? "#f0b35b" : "#ff5b22"
                visible: button.active
            }
        }

        Text {
            objectName: "castName"
            anchors.verticalCenter: parent.verticalCenter
            visible: button.active && button.nameRoom
            width: Math.min(implicitWidth, 140)
            text: button.hasCast ? Cast.deviceName : ""
            textFormat: Text.PlainText
            color: "#ff7a45"
            font.family: "Segoe UI"
            font.pixelSize: 11
            elide: Text.ElideRight
        }
    }

    MouseArea {
        id: castMa
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: Qt.PointingHandCursor
        onClicked: button.clicked()
    }

    // Not the window's shared tool tip: the style draws that one's text as rich text when it looks like it.
    ToolTip {
        id: castTip
        objectName: "castToolTip"
        visible: castMa.containsMouse
        delay: 600
        text: button.tip
        contentItem: Text {
            text: castTip.text
            textFormat: Text.PlainText
            font: castTip.font
            wrapMode: Text.Wrap
            color: castTip.palette.toolTipText
        }
    }
}
