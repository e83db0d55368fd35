import QtQuick
import Kestrune.MediaPlayer

// Covers the stage while a receiver plays the media: to whom, what, and how it gets there. Receiver and
// file names come from outside, so every line is plain text.
Rectangle {
    id: screen

    // The main window, for its file-name helper.
    required property var host
    readonly property bool hasPlayer: typeof Player !== "undefined"
    readonly property bool hasCast: typeof Cast !== "undefined"
    readonly property string castMode: hasCast ? Cast.mode : ""
    readonly property string statusLine: hasPlayer && hasCast ? lineFor(Player.state, Cast.status, Cast.mode) : ""

    signal diagnosticsRequested()

    // The state first, then how the media reaches the receiver when that is known.
    function lineFor(state, status, mode) {
        let stateText
        switch (state) {
        case MediaSessionBridge.Opening: stateText = status !== "" ? status : qsTr("Loading…"); break
        case MediaSessionBridge.Paused: stateText = qsTr("Paused"); break
        case MediaSessionBridge.Playing: stateText = qsTr("Playing"); break
        case MediaSessionBridge.Error: stateText = qsTr("Error"); break
        default: stateText = qsTr("Ready")
        }
        let modeText = ""
        if (mode === "direct")
            modeText = qsTr("Playing the original file")
        else if (mode === "remux")
            modeText = qsTr("Repackaged stream (no quality loss)")
        else if (mode === "transcode")
            modeText = qsTr("Converted stream")
        return modeText === "" ? stateText : stateText + "  ·  " + modeText
    }

    visible: hasPlayer && Player.casting
    color: "#0b0c0f"

    Column {
        anchors.centerIn: parent
        width: Math.min(screen.width - 40, 520)
        spacing: 10

        Image {
            anchors.horizontalCenter: parent.horizontalCenter
            width: 72
            height: 72
            source: "icons/cast.svg"
            sourceSize: Qt.size(144, 144)
            opacity: 0.9
        }

        Text {
            objectName: "castingTitle"
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            text: qsTr("Casting to %1").arg(screen.hasCast ? Cast.deviceName : "")
            textFormat: Text.PlainText
            color: "#e8eaed"
            font.family: "Segoe UI"
            font.pixelSize: 20
            font.weight: Font.DemiBold
            elide: Text.ElideRight
        }

        Text {
            objectName: "castingFile"
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            text: screen.hasPlayer ? screen.host.basename(Player.currentFile) : ""
            textFormat: Text.PlainText
            color: "#9ca3af"
            font.family: "Segoe UI"
            font.pixelSize: 13
            elide: Text.ElideMiddle
        }

        Text {
            objectName: "castingStatus"
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            text: screen.statusLine
            textFormat: Text.PlainText
            // A conversion costs the receiver's picture quality and the computer's time: worth a warning tint.
            color: screen.castMode === "transcode" ? "#f0b35b" : "#6b7079"
            font.family: "Segoe UI"
            font.pixelSize: 12
        }

        Row {
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 8

            DarkButton {
                objectName: "stopCastingButton"
                text: qsTr("Stop Casting")
                accent: true
                onClicked: Cast.stop()
            }
            DarkButton {
                objectName: "castDiagnosticsButton"
                text: qsTr("Diagnostics")
                onClicked: screen.diagnosticsRequested()
            }
        }
    }
}
