import QtQuick

// The stage's top-right badge: position and duration, and for video the picture size and the decoder. It
// comes and goes with the window's other controls.
Rectangle {
    id: badge

    // The main window: its time format and whether its controls are showing.
    required property var host
    readonly property bool hasPlayer: typeof Player !== "undefined"

    visible: hasPlayer && Player.hasMedia && host.controlsShown
    color: "#a0000000"
    border.color: "#14ffffff"
    border.width: 1
    radius: 4
    width: tcCol.width + 20
    height: tcCol.height + 14

    Column {
        id: tcCol
        x: 10
        y: 7
        spacing: 2

        Text {
            objectName: "timecodeText"
            text: badge.hasPlayer ? badge.host.fmtTime(Player.clockUs) + "  /  " + badge.host.fmtTime(Player.durationUs)
                                  : ""
            color: "#e8eaed"
            font.family: "JetBrains Mono"
            font.pixelSize: 10
        }

        // Audio has no picture: a size of 0 by 0 and a decoder would say nothing.
        Row {
            objectName: "videoLine"
            visible: badge.hasPlayer && Player.hasVideo
            spacing: 6

            Text {
                objectName: "videoSize"
                anchors.verticalCenter: parent.verticalCenter
                text: badge.hasPlayer ? Player.displayWidth + "×" + Player.displayHeight : ""
                color: "#9ca3af"
                font.family: "JetBrains Mono"
                font.pixelSize: 9
            }

            Rectangle {
                objectName: "decoderChip"
                readonly property bool hw: badge.hasPlayer && Player.usesHwDecode
                anchors.verticalCenter: parent.verticalCenter
                radius: 2
                border.width: 1
                color: hw ? "#33ff5b22" : "#10ffffff"
                border.color: hw ? "#80ff5b22" : "#20ffffff"
                implicitWidth: hwLabel.implicitWidth + 8
                implicitHeight: hwLabel.implicitHeight + 2

                Text {
                    id: hwLabel
                    objectName: "decoderLabel"
                    anchors.centerIn: parent
                    text: parent.hw ? "HW · VA-API" : "SW"
                    color: parent.hw ? "#ff7a45" : "#9ca3af"
                    font.family: "JetBrains Mono"
                    font.pixelSize: 9
                    font.weight: Font.DemiBold
                }
            }
        }
    }
}
